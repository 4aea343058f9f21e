// Win32 implementation of the platform layer (Windows Sockets, Windows
// threads, the system timer, BCryptGenRandom).
#include "platform/platform.h"

// select() sets hold FD_SETSIZE sockets, 64 unless set before winsock2.h.
// The main step polls the listening socket, up to 31 pending sessions and
// up to 63 sessions of each of up to 8 games at once.
#define FD_SETSIZE 1024

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>
#include <process.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace kestrin::platform {
namespace {

sockaddr_in toSockaddr(Endpoint endpoint) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  address.sin_addr.s_addr = htonl(endpoint.address);
  return address;
}

SOCKET raw(SocketHandle socket) { return static_cast<SOCKET>(socket); }
SocketHandle wrap(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

bool setNonBlocking(SOCKET socket) {
  u_long on = 1;
  return ioctlsocket(socket, FIONBIO, &on) == 0;
}

}  // namespace

void startSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);
  });
}

ListenResult tcpListen(std::uint16_t port, int backlog, SocketHandle* out) {
  startSockets();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return ListenResult::kCreateFailed;
  BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
  sockaddr_in address = toSockaddr(Endpoint{0, port});
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::closesocket(s);
    return ListenResult::kBindFailed;
  }
  if (::listen(s, backlog) != 0 || !setNonBlocking(s)) {
    ::closesocket(s);
    return ListenResult::kListenFailed;
  }
  *out = wrap(s);
  return ListenResult::kOk;
}

SocketHandle tcpAccept(SocketHandle listener, Endpoint* peer) {
  sockaddr_in from;
  std::memset(&from, 0, sizeof from);
  int length = sizeof from;
  SOCKET s = ::accept(raw(listener), reinterpret_cast<sockaddr*>(&from), &length);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  setNonBlocking(s);
  if (peer != nullptr) *peer = Endpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
  return wrap(s);
}

SocketHandle tcpConnectStart(Endpoint peer, std::uint32_t localAddress) {
  startSockets();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  sockaddr_in local = toSockaddr(Endpoint{localAddress, 0});
  if (localAddress != 0 && ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::closesocket(s);
    return kInvalidSocket;
  }
  setNonBlocking(s);
  sockaddr_in address = toSockaddr(peer);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    ::closesocket(s);
    return kInvalidSocket;
  }
  return wrap(s);
}

ConnectState tcpConnectPoll(SocketHandle socket) {
  fd_set writeSet;
  fd_set exceptSet;
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  FD_SET(raw(socket), &writeSet);
  FD_SET(raw(socket), &exceptSet);
  timeval zero{0, 0};
  int n = ::select(0, nullptr, &writeSet, &exceptSet, &zero);
  if (n < 0 || FD_ISSET(raw(socket), &exceptSet)) return ConnectState::kFailed;
  return FD_ISSET(raw(socket), &writeSet) ? ConnectState::kConnected : ConnectState::kPending;
}

long socketSend(SocketHandle socket, const void* data, std::size_t length) {
  int n = ::send(raw(socket), static_cast<const char*>(data), static_cast<int>(length), 0);
  if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
  return n;
}

long socketReceive(SocketHandle socket, void* buffer, std::size_t capacity) {
  int n = ::recv(raw(socket), static_cast<char*>(buffer), static_cast<int>(capacity), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

UdpOpenResult udpOpen(std::uint16_t port, SocketHandle* out) {
  startSockets();
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return UdpOpenResult::kCreateFailed;
  sockaddr_in address = toSockaddr(Endpoint{0, port});
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::closesocket(s);
    return UdpOpenResult::kBindFailed;
  }
  setNonBlocking(s);
  *out = wrap(s);
  return UdpOpenResult::kOk;
}

long udpSendTo(SocketHandle socket, Endpoint to, const void* data, std::size_t length) {
  sockaddr_in address = toSockaddr(to);
  int n = ::sendto(raw(socket), static_cast<const char*>(data), static_cast<int>(length), 0,
                   reinterpret_cast<sockaddr*>(&address), sizeof address);
  return n == SOCKET_ERROR ? -1 : n;
}

bool udpConnect(SocketHandle socket, Endpoint peer) {
  sockaddr_in address = toSockaddr(peer);
  return ::connect(raw(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

long udpReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, Endpoint* from) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  int length = sizeof address;
  int n = ::recvfrom(raw(socket), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                     reinterpret_cast<sockaddr*>(&address), &length);
  // A datagram longer than the buffer is cut, as on POSIX.
  if (n == SOCKET_ERROR) {
    if (WSAGetLastError() != WSAEMSGSIZE) return -1;
    n = static_cast<int>(capacity);
  }
  if (from != nullptr) {
    from->address = ntohl(address.sin_addr.s_addr);
    from->port = ntohs(address.sin_port);
  }
  return n;
}

std::uint16_t localPort(SocketHandle socket) {
  sockaddr_in address;
  int length = sizeof address;
  if (::getsockname(raw(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

int pollReadable(const SocketHandle* sockets, std::size_t count, bool* ready, int timeoutMs) {
  // WSAPoll, like poll(), takes any number of sockets; a select() set holds
  // FD_SETSIZE (64).
  std::vector<WSAPOLLFD> entries;
  std::vector<std::size_t> indexes;
  entries.reserve(count);
  indexes.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    ready[i] = false;
    if (sockets[i] == kInvalidSocket) continue;
    WSAPOLLFD entry;
    entry.fd = raw(sockets[i]);
    entry.events = POLLRDNORM;
    entry.revents = 0;
    entries.push_back(entry);
    indexes.push_back(i);
  }
  if (entries.empty()) {
    if (timeoutMs > 0) Sleep(static_cast<DWORD>(timeoutMs));
    return 0;
  }
  if (WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), timeoutMs) == SOCKET_ERROR) return -1;
  int readyCount = 0;
  for (std::size_t j = 0; j < entries.size(); ++j) {
    if ((entries[j].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0) {
      ready[indexes[j]] = true;
      ++readyCount;
    }
  }
  return readyCount;
}

struct SocketWatch::State {
  struct Entry {
    SocketHandle socket;
    void* tag;
  };
  std::vector<Entry> entries;
  std::vector<void*> ready;
  fd_set set;
};

SocketWatch::SocketWatch() : state_(std::make_unique<State>()) {}
SocketWatch::~SocketWatch() = default;

bool SocketWatch::add(SocketHandle socket, void* tag) {
  if (socket == kInvalidSocket || state_->entries.size() >= FD_SETSIZE) return false;
  state_->entries.push_back(State::Entry{socket, tag});
  return true;
}

void SocketWatch::remove(SocketHandle socket) {
  std::vector<State::Entry>& entries = state_->entries;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].socket != socket) continue;
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

int SocketWatch::wait(int timeoutMs) {
  State& state = *state_;
  state.ready.clear();
  if (state.entries.empty()) {
    if (timeoutMs > 0) Sleep(static_cast<DWORD>(timeoutMs));
    return 0;
  }
  // Filled directly: FD_SET would search the whole set for every socket.
  state.set.fd_count = 0;
  for (const State::Entry& entry : state.entries) state.set.fd_array[state.set.fd_count++] = raw(entry.socket);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (::select(0, &state.set, nullptr, nullptr, &timeout) == SOCKET_ERROR) return -1;
  // The set now holds the ready sockets alone.
  for (u_int j = 0; j < state.set.fd_count; ++j) {
    for (const State::Entry& entry : state.entries) {
      if (raw(entry.socket) != state.set.fd_array[j]) continue;
      state.ready.push_back(entry.tag);
      break;
    }
  }
  return static_cast<int>(state.ready.size());
}

void* SocketWatch::readyTag(std::size_t index) const { return state_->ready[index]; }

void closeSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) ::closesocket(raw(socket));
}

bool resolveHost(const char* name, std::uint32_t* address) {
  startSockets();
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return false;
  *address = ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(result);
  return true;
}

std::uint32_t milliseconds() { return static_cast<std::uint32_t>(GetTickCount64()); }

void sleepMilliseconds(std::uint32_t ms) { Sleep(ms); }

namespace {
struct ThreadStart {
  Thread::Body body;
  void* argument;
};

unsigned __stdcall threadEntry(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.body(start.argument);
  return 0;
}
}  // namespace

Thread::~Thread() {
  if (handle_ != 0) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool Thread::start(Body body, void* argument) {
  auto* start = new ThreadStart{body, argument};
  std::uintptr_t handle = _beginthreadex(nullptr, 0, threadEntry, start, 0, nullptr);
  if (handle == 0) {
    delete start;
    return false;
  }
  handle_ = handle;
  return true;
}

void Thread::join() {
  if (handle_ == 0) return;
  WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), INFINITE);
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = 0;
}

bool localTimeNow(LocalTime* out) {
  __time64_t now = _time64(nullptr);
  struct tm parts;
  if (now == -1 || _localtime64_s(&parts, &now) != 0) return false;
  out->year = parts.tm_year + 1900;
  out->month = parts.tm_mon + 1;
  out->day = parts.tm_mday;
  out->hour = parts.tm_hour;
  out->minute = parts.tm_min;
  out->second = parts.tm_sec;
  return true;
}

bool secureRandom(void* out, std::size_t length) {
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(length),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

bool replaceFile(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
bool removeFile(const char* path) { return DeleteFileA(path) != 0; }
bool fileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

LibraryHandle loadLibrary(const char* path) {
  // LoadLibrary searches the program's folder and the system folders before
  // the current one for any relative path: name the file by its full path.
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (n == 0) return 0;
  if (n >= sizeof full) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  return reinterpret_cast<LibraryHandle>(LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}
void* findSymbol(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}
void unloadLibrary(LibraryHandle library) {
  if (library != 0) FreeLibrary(reinterpret_cast<HMODULE>(library));
}
std::string lastLibraryError() {
  char text[64];
  std::snprintf(text, sizeof text, "Windows error %lu", GetLastError());
  return text;
}
std::string executableDirectory() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return ".\\";
  std::string text(path, n);
  std::size_t slash = text.find_last_of("\\/");
  return slash == std::string::npos ? ".\\" : text.substr(0, slash + 1);
}
const char* serverLibraryName() { return "kestrinserver.dll"; }

}  // namespace kestrin::platform
