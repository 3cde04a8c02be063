#include "socket_inodes.h"

#include "diag_channel.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace vexmora::meter {

bool listSocketInodes(QHash<quint64, quint32> &inodes, QString *error)
{
    DiagChannel channel;
    if (!channel.openForDumps(error))
        return false;
    for (const quint8 protocol : {IPPROTO_TCP, IPPROTO_UDP}) {
        for (const quint8 family : {AF_INET, AF_INET6}) {
            DiagBatch batch;
            if (!channel.dumpAll(family, protocol, batch, error))
                return false;
            for (const DiagSocket &socket : batch.sockets) {
                if (socket.inode != 0)
                    inodes.insert(socket.cookie, socket.inode);
            }
        }
    }
    return true;
}

} // namespace vexmora::meter
