// The operating-system layer: sockets, threads, sleeps, the millisecond timer,
// the cryptographic random source, files and dynamic libraries.  Everything
// else in the tree is portable C++ and reaches the OS only through this
// header.  posix/ and win/ hold the two implementations of the same interface.
//
// Every function here is safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kestrin::platform {

// ---------------------------------------------------------------- sockets

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// An IPv4 address and port, both in host byte order: the address a.b.c.d is
// (a << 24) | (b << 16) | (c << 8) | d.
struct Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001;

// Starts the socket layer.  Harmless to call more than once; a no-op on POSIX.
void startSockets();

enum class ListenResult { kOk, kCreateFailed, kBindFailed, kListenFailed };
// Creates a TCP socket listening on every local address at `port`.  The
// socket does not block in accept.  On failure no socket is left open.
ListenResult tcpListen(std::uint16_t port, int backlog, SocketHandle* out);

// Accepts one pending connection; kInvalidSocket when none is ready or on
// error.  The accepted socket does not block.  `peer`, when given, receives
// the address and port the connection comes from.
SocketHandle tcpAccept(SocketHandle listener, Endpoint* peer = nullptr);

// Starts a connection without waiting for it, from `localAddress` when it is
// not 0 (any free port).  kInvalidSocket when no socket could be created or
// bound, or the connection was refused at once.
SocketHandle tcpConnectStart(Endpoint peer, std::uint32_t localAddress = 0);
enum class ConnectState { kPending, kConnected, kFailed };
// Zero-timeout test of a connection started by tcpConnectStart.
ConnectState tcpConnectPoll(SocketHandle socket);

// Sends up to `length` bytes: the count sent, 0 when the socket cannot take
// bytes now, -1 on error.
long socketSend(SocketHandle socket, const void* data, std::size_t length);
// Receives up to `capacity` bytes: the count received, 0 when the peer has
// closed the connection, -1 on error or when nothing is waiting.
long socketReceive(SocketHandle socket, void* buffer, std::size_t capacity);

enum class UdpOpenResult { kOk, kCreateFailed, kBindFailed };
// Creates a UDP socket bound to every local address at `localPort` (0 picks
// a free port).  On failure no socket is left open.
UdpOpenResult udpOpen(std::uint16_t localPort, SocketHandle* out);
// Sends one datagram; the count sent or -1.
long udpSendTo(SocketHandle socket, Endpoint to, const void* data, std::size_t length);
// Connects a UDP socket to `peer`: from then on the system passes on only
// datagrams from that address and port.  False on error.
bool udpConnect(SocketHandle socket, Endpoint peer);
// Receives one datagram and its sender; the datagram's length (cut at
// `capacity`) or -1 on error or when nothing is waiting.
long udpReceiveFrom(SocketHandle socket, void* buffer, std::size_t capacity, Endpoint* from);

// The local port a socket is bound to, 0 when unknown.
std::uint16_t localPort(SocketHandle socket);

// Readiness poll over `count` sockets (any descriptor values; kInvalidSocket
// entries are never ready).  Sets ready[i] for each socket with data or a
// pending connection or an end of stream.  Waits at most `timeoutMs` (0 only
// polls).  Returns the number of ready sockets, or -1 on error.
int pollReadable(const SocketHandle* sockets, std::size_t count, bool* ready,
                 int timeoutMs = 0);

// The sockets a loop watches for incoming data, each registered once with a
// tag of the caller's and polled all together in one call: on Linux an
// epoll set, whose poll costs nothing for idle sockets; on Windows one
// select() over the registered sockets, at most FD_SETSIZE (1024) of them.
// A socket must leave the watch before it is closed.  Used by one thread at
// a time.
class SocketWatch {
 public:
  SocketWatch();
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  // Registers a socket with its tag; false when it cannot be watched.
  bool add(SocketHandle socket, void* tag);
  // Unregisters a socket; harmless for one that is not registered.
  void remove(SocketHandle socket);
  // Waits at most `timeoutMs` for data, a pending connection or an end of
  // stream on any registered socket.  Returns how many are ready, whose tags
  // readyTag gives until the next wait, or -1 on error.
  int wait(int timeoutMs);
  void* readyTag(std::size_t index) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Closes the socket; kInvalidSocket is ignored.
void closeSocket(SocketHandle socket);

// Looks a host name up; false when it cannot be resolved to an IPv4 address.
bool resolveHost(const char* name, std::uint32_t* address);

// ---------------------------------------------------------------- time

// The system millisecond timer; wraps modulo 2^32.
std::uint32_t milliseconds();
void sleepMilliseconds(std::uint32_t ms);

// A calendar date and time of day, as the local clock shows them.
struct LocalTime {
  int year = 0;    // four digits
  int month = 0;   // 1 to 12
  int day = 0;     // 1 to 31
  int hour = 0;    // 0 to 23
  int minute = 0;  // 0 to 59
  int second = 0;  // 0 to 60
};
// The local date and time now; false, with `out` untouched, when the system
// cannot tell.
bool localTimeNow(LocalTime* out);

// ---------------------------------------------------------------- threads

// A thread that runs one function.  start() at most once; join() waits for
// the function to return.  The object must outlive the thread; destroying a
// started thread that was not joined is a programming error.
class Thread {
 public:
  using Body = void (*)(void* argument);

  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();

  bool start(Body body, void* argument);
  void join();
  bool started() const { return handle_ != 0; }

 private:
  std::uintptr_t handle_ = 0;
};

// ---------------------------------------------------------------- random

// Fills `out` from the operating system's cryptographic generator; false
// when the generator failed (the buffer content is then unspecified).
bool secureRandom(void* out, std::size_t length);

// ---------------------------------------------------------------- files

// Renames `from` to `to`, replacing an existing `to`.
bool replaceFile(const char* from, const char* to);
bool removeFile(const char* path);
bool fileExists(const char* path);

// ---------------------------------------------------------------- libraries

// A loaded dynamic library; 0 when loading failed.
using LibraryHandle = std::uintptr_t;
// Loads the library file at `path`; a relative path, even a file name alone,
// is taken from the current folder, never searched for in the system's
// library folders or beside the program.
LibraryHandle loadLibrary(const char* path);
void* findSymbol(LibraryHandle library, const char* name);
void unloadLibrary(LibraryHandle library);
// The last loader error as text, for messages.
std::string lastLibraryError();
// The folder of the running program, with a trailing separator.
std::string executableDirectory();
// The file name of the server library on this platform.
const char* serverLibraryName();

// ---------------------------------------------------------------- digests and signatures
// The system's own cryptography: libcrypto on Linux, CNG on Windows.

inline constexpr std::size_t kSha256Size = 32;
// The SHA-256 digest of `length` bytes; false when the system failed.
bool sha256(const void* data, std::size_t length, std::uint8_t (&digest)[kSha256Size]);

enum class SignatureCheck {
  kValid,
  kWrong,      // a well-formed signature, but not of these bytes under this key
  kMalformed,  // not an ECDSA signature in DER form
  kBadKey,     // the key text holds no P-256 public key
};
// Checks an ECDSA-SHA256 signature in DER form (SEQUENCE of the INTEGERs r
// and s, exactly as DER encodes them, nothing after) over `length` bytes of
// `data`.  `publicKeyPem` is a PEM "PUBLIC KEY" block (SubjectPublicKeyInfo)
// of a key on the curve P-256.  The key is read first: a key that is no such
// key gives kBadKey whatever the signature.
SignatureCheck verifySignature(const std::string& publicKeyPem, const void* data, std::size_t length,
                               const void* signature, std::size_t signatureLength);
// True when the bytes are one ECDSA signature exactly as DER encodes it, the
// form that verifySignature requires; reads no key and verifies nothing.
bool isDerSignature(const void* signature, std::size_t length);

// Signs `length` bytes of `data` with ECDSA-SHA256 under the P-256 private
// key in `privateKeyPem` (a PEM "PRIVATE KEY" block, PKCS #8, or an "EC
// PRIVATE KEY" block) and stores the signature in DER form.  False when the
// text holds no such key or signing failed.
bool signData(const std::string& privateKeyPem, const void* data, std::size_t length, std::string* signature);

}  // namespace kestrin::platform
