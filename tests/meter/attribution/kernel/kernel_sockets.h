#pragma once

// Sockets for the kernel tests between the two namespaces of kernel_fixture.h:
// the addresses of A and B (testsupport::NetnsPair), and the three kinds of
// address a TCP or UDP socket of A may use to reach B.

#include <QtGlobal>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

namespace kerneltest {

inline constexpr const char *kAddressA = "10.231.0.1";
inline constexpr const char *kAddressB = "10.231.0.2";
inline constexpr const char *kAddressA6 = "fd00:231::1";
inline constexpr const char *kAddressB6 = "fd00:231::2";
// An address on B's link that nobody answers: A's SYN leaves and dies there.
inline constexpr const char *kSilentAddress = "10.231.0.3";
inline constexpr const char *kSilentAddress6 = "fd00:231::3";

struct Address
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    const ::sockaddr *sockaddr() const { return reinterpret_cast<const ::sockaddr *>(&storage); }
    int family() const { return storage.ss_family; }
};
// An IPv4 or IPv6 address, told apart by its text.
Address at(const char *ip, quint16 port = 0);

enum class Kind {
    V4,     // AF_INET
    V6,     // AF_INET6 to an IPv6 address
    Mapped, // AF_INET6 to an IPv4-mapped address: IPv4 on the wire
};
std::string nameOf(Kind kind);
Address peerOf(Kind kind, quint16 port);   // B
Address silentOf(Kind kind, quint16 port); // kSilentAddress
// A, as B reaches a listener of that kind there: by IPv4 for a mapped one.
Address addressOfA(Kind kind, quint16 port);
int socketOf(Kind kind, int type);

quint64 cookieOf(int fd);
quint16 portOf(int fd);

// Reads of fd time out after 2 s.
int receiving(int fd);
// A UDP socket bound to the address (port 0), receiving().
int udpAt(const char *ip);
// A TCP listener on the address (port 0) with the given receive buffer (0:
// the kernel's), which its connections inherit.
int listenAt(const char *ip, int receiveBuffer = 0);
bool connects(int fd, const Address &to);
int connectTo(const Address &to); // a new TCP socket, -1 when it fails
// On every address of the namespace of the calling thread; IPv6 sockets
// take IPv4 too.
int listenOnAny(Kind kind, int backlog);
int boundOnAny(Kind kind, int type);
void lingerZero(int fd); // close() then resets

void sendAll(int fd, std::size_t bytes);
std::size_t receiveAll(int fd, std::size_t atMost = SIZE_MAX);
void readExactly(int fd, void *into, std::size_t bytes);
// Waits up to 2 s until the peer has acknowledged all that fd sent.
bool allAcknowledged(int fd);

void sendDescriptor(int over, int fd);
int receiveDescriptor(int over);
bool exitedWell(pid_t child);

int pingSocketOf(Kind kind);
std::vector<char> echoRequest(Kind kind, int sequence, std::size_t payload);

bool withinATenthOfAPercent(quint64 counted, quint64 truth);

} // namespace kerneltest
