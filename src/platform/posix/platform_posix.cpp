// POSIX implementation of the platform layer.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
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

bool setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int fdOf(SocketHandle socket) { return static_cast<int>(socket); }

}  // namespace

void startSockets() {}

ListenResult tcpListen(std::uint16_t port, int backlog, SocketHandle* out) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ListenResult::kCreateFailed;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = toSockaddr(Endpoint{0, port});
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return ListenResult::kBindFailed;
  }
  if (::listen(fd, backlog) != 0 || !setNonBlocking(fd)) {
    ::close(fd);
    return ListenResult::kListenFailed;
  }
  *out = fd;
  return ListenResult::kOk;
}

SocketHandle tcpAccept(SocketHandle listener, Endpoint* peer) {
  sockaddr_in from;
  std::memset(&from, 0, sizeof from);
  socklen_t length = sizeof from;
  int fd = ::accept4(fdOf(listener), reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return kInvalidSocket;
  if (peer != nullptr) *peer = Endpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
  return fd;
}

SocketHandle tcpConnectStart(Endpoint peer, std::uint32_t localAddress) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return kInvalidSocket;
  sockaddr_in local = toSockaddr(Endpoint{localAddress, 0});
  if (localAddress != 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return kInvalidSocket;
  }
  sockaddr_in address = toSockaddr(peer);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd);
    return kInvalidSocket;
  }
  return fd;
}

ConnectState tcpConnectPoll(SocketHandle socket) {
  pollfd entry{fdOf(socket), POLLOUT, 0};
  int n = ::poll(&entry, 1, 0);
  if (n < 0) return ConnectState::kFailed;
  if (n == 0) return ConnectState::kPending;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fdOf(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
    return ConnectState::kFailed;
  return ConnectState::kConnected;
}

long socketSend(SocketHandle socket, const void* data, std::size_t length) {
  ssize_t n = ::send(fdOf(socket), data, length, MSG_NOSIGNAL);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  return static_cast<long>(n);
}

long socketReceive(SocketHandle socket, void* buffer, std::size_t capacity) {
  ssize_t n = ::recv(fdOf(socket), buffer, capacity, 0);
  return n < 0 ? -1 : static_cast<long>(n);
}

UdpOpenResult udpOpen(std::uint16_t port, SocketHandle* out) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return UdpOpenResult::kCreateFailed;
  sockaddr_in address = toSockaddr(Endpoint{0, port});
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return UdpOpenResult::kBindFailed;
  }
  *out = fd;
  return UdpOpenResult::kOk;
}

long udpSendTo(SocketHandle socket, Endpoint to, const void* data, std::size_t length) {
  sockaddr_in address = toSockaddr(to);
  ssize_t n = ::sendto(fdOf(socket), data, length, 0, reinterpret_cast<sockaddr*>(&address),
                       sizeof address);
  return n < 0 ? -1 : static_cast<long>(n);
}

bool udpConnect(SocketHandle socket, Endpoint peer) {
  sockaddr_in address = toSockaddr(peer);
  return ::connect(fdOf(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

long udpReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, Endpoint* from) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  socklen_t length = sizeof address;
  ssize_t n = ::recvfrom(fdOf(socket), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&address),
                         &length);
  if (n < 0) return -1;
  if (from != nullptr) {
    from->address = ntohl(address.sin_addr.s_addr);
    from->port = ntohs(address.sin_port);
  }
  return static_cast<long>(n);
}

std::uint16_t localPort(SocketHandle socket) {
  sockaddr_in address;
  socklen_t length = sizeof address;
  if (::getsockname(fdOf(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

int pollReadable(const SocketHandle* sockets, std::size_t count, bool* ready, int timeoutMs) {
  std::vector<pollfd> entries(count);
  for (std::size_t i = 0; i < count; ++i) {
    entries[i].fd = sockets[i] == kInvalidSocket ? -1 : fdOf(sockets[i]);
    entries[i].events = POLLIN;
    entries[i].revents = 0;
  }
  int n = ::poll(entries.data(), entries.size(), timeoutMs);
  if (n < 0) return -1;
  int readyCount = 0;
  for (std::size_t i = 0; i < count; ++i) {
    ready[i] = (entries[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    if (ready[i]) ++readyCount;
  }
  return readyCount;
}

struct SocketWatch::State {
  int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  std::size_t registered = 0;
  // Room for every registered socket to be ready at once.
  std::vector<epoll_event> events;
};

SocketWatch::SocketWatch() : state_(std::make_unique<State>()) {}

SocketWatch::~SocketWatch() {
  if (state_->epoll >= 0) ::close(state_->epoll);
}

bool SocketWatch::add(SocketHandle socket, void* tag) {
  if (socket == kInvalidSocket || state_->epoll < 0) return false;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = tag;
  if (::epoll_ctl(state_->epoll, EPOLL_CTL_ADD, fdOf(socket), &event) != 0) return false;
  if (++state_->registered > state_->events.size()) state_->events.resize(state_->registered);
  return true;
}

void SocketWatch::remove(SocketHandle socket) {
  if (socket == kInvalidSocket || state_->epoll < 0) return;
  if (::epoll_ctl(state_->epoll, EPOLL_CTL_DEL, fdOf(socket), nullptr) == 0) --state_->registered;
}

int SocketWatch::wait(int timeoutMs) {
  State& state = *state_;
  if (state.epoll < 0) return -1;
  if (state.events.empty()) state.events.resize(1);
  int n = ::epoll_wait(state.epoll, state.events.data(), static_cast<int>(state.events.size()), timeoutMs);
  return n < 0 ? -1 : n;
}

void* SocketWatch::readyTag(std::size_t index) const { return state_->events[index].data.ptr; }

void closeSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) ::close(fdOf(socket));
}

bool resolveHost(const char* name, std::uint32_t* address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return false;
  *address = ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(result);
  return true;
}

std::uint32_t milliseconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

void sleepMilliseconds(std::uint32_t ms) {
  timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

namespace {
struct ThreadStart {
  Thread::Body body;
  void* argument;
};

void* threadEntry(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.body(start.argument);
  return nullptr;
}
}  // namespace

Thread::~Thread() = default;

bool Thread::start(Body body, void* argument) {
  auto* start = new ThreadStart{body, argument};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, threadEntry, start) != 0) {
    delete start;
    return false;
  }
  handle_ = static_cast<std::uintptr_t>(thread);
  return true;
}

void Thread::join() {
  if (handle_ == 0) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  handle_ = 0;
}

bool localTimeNow(LocalTime* out) {
  time_t now = ::time(nullptr);
  struct tm parts;
  if (now == static_cast<time_t>(-1) || ::localtime_r(&now, &parts) == nullptr) return false;
  out->year = parts.tm_year + 1900;
  out->month = parts.tm_mon + 1;
  out->day = parts.tm_mday;
  out->hour = parts.tm_hour;
  out->minute = parts.tm_min;
  out->second = parts.tm_sec;
  return true;
}

bool secureRandom(void* out, std::size_t length) {
  auto* bytes = static_cast<unsigned char*>(out);
  while (length > 0) {
    ssize_t n = ::getrandom(bytes, length, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool replaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }
bool removeFile(const char* path) { return std::remove(path) == 0; }
bool fileExists(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0;
}

LibraryHandle loadLibrary(const char* path) {
  // dlopen searches the library path for a name without a slash.
  std::string file = std::strchr(path, '/') == nullptr ? std::string("./") + path : std::string(path);
  return reinterpret_cast<LibraryHandle>(::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
}
void* findSymbol(LibraryHandle library, const char* name) {
  return ::dlsym(reinterpret_cast<void*>(library), name);
}
void unloadLibrary(LibraryHandle library) {
  if (library != 0) ::dlclose(reinterpret_cast<void*>(library));
}
std::string lastLibraryError() {
  const char* text = ::dlerror();
  return text != nullptr ? text : "unknown error";
}
std::string executableDirectory() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string text(path, static_cast<std::size_t>(n));
  std::size_t slash = text.rfind('/');
  return slash == std::string::npos ? "./" : text.substr(0, slash + 1);
}
const char* serverLibraryName() { return "kestrinserver.so"; }

}  // namespace kestrin::platform
