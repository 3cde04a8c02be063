#pragma once

#include <netinet/in.h>
#include <sys/types.h>
#include <vector>

namespace attributionbench {

// An IPv4 address (dotted) and port as a socket address.
sockaddr_in endpoint(const char *address, int port);

// Processes that hold many TCP connections between two network namespaces
// and trickle bytes over them: a server in one namespace, clients in the
// other. All run until stop().
class TcpLoad
{
public:
    struct Shape
    {
        int clients = 300;
        int connectionsPerClient = 10;
        int bytesPerWrite = 100;
        int writeIntervalMs = 500;
    };

    TcpLoad() = default;
    ~TcpLoad() { stop(); }
    TcpLoad(const TcpLoad &) = delete;
    TcpLoad &operator=(const TcpLoad &) = delete;

    // The server joins serverNetns (a path under /run/netns) and listens on
    // serverAddress:port; the clients stay in the caller's namespace. Returns
    // once every client is connected, false when one could not.
    bool start(const char *serverNetns, const char *serverAddress, int port, const Shape &shape);
    // One more client process, connected when this returns.
    bool addClient();
    // Ends the processes it started and waits for them.
    void stop();

private:
    const char *serverAddress_ = nullptr;
    int port_ = 0;
    Shape shape_;
    int ready_[2] = {-1, -1};
    pid_t server_ = -1;
    std::vector<pid_t> clients_;
    int stopPipe_[2] = {-1, -1};
};

} // namespace attributionbench
