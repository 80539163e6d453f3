#pragma once

#include "connections/pending_requests.h"
#include "connections/socket_control.h"

#include <QHostAddress>
#include <QObject>
#include <map>

namespace connections {

// A control array of sockets: element 0 exists from the start, further
// elements are created at run time by index. The events of every element
// arrive through the array with the element's index. The array owns the
// table of connection requests its elements share: the listening element
// files them, the element that accepts takes them out.
class SocketArray : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxIndex = 32767;

    // The elements hand the connections they let go of to `lingering`.
    explicit SocketArray(LingeringConnections &lingering, const QHostAddress &bindAddress = QHostAddress::Any,
                         QObject *parent = nullptr);

    // Creates element `index`; refused if it exists already or is out of range.
    void Load(int index);
    bool exists(int index) const;
    // The element at `index`; refused if it has not been created.
    SocketControl &operator()(int index) const;

signals:
    void ConnectionRequest(int Index, qint32 requestID);
    void DataArrival(int Index, qint32 bytesTotal);

private:
    void create(int index);

    LingeringConnections &m_lingering;
    PendingRequests m_requests;
    QHostAddress m_bind;
    std::map<int, SocketControl *> m_elements;
};

} // namespace connections
