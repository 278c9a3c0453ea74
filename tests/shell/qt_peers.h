// The peers of the relay in the window's tests, on Qt's loop (the same thread as the relay): an echo
// server and a client that keeps what it receives. Made, used and destroyed on the test's thread.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <string>

namespace tapline::test {

class EchoServer : public QObject {
 public:
  EchoServer() {
    if (!server_.listen(QHostAddress::LocalHost, 0)) qFatal("cannot listen");
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* s = server_.nextPendingConnection()) {
        ++accepted;
        QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
        QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
      }
    });
  }
  std::string Port() const { return std::to_string(server_.serverPort()); }
  int accepted = 0;  // connections taken so far

 private:
  QTcpServer server_;
};

// A client of the relay that keeps everything it receives.
class Client : public QObject {
 public:
  explicit Client(std::uint16_t port) {
    QObject::connect(&socket_, &QTcpSocket::readyRead, this, [this] { received += socket_.readAll(); });
    socket_.connectToHost(QHostAddress::LocalHost, port);
  }
  bool Connected() { return socket_.state() == QAbstractSocket::ConnectedState; }
  void Send(const QByteArray& bytes) { socket_.write(bytes); }
  void Close() { socket_.disconnectFromHost(); }
  QByteArray received;

 private:
  QTcpSocket socket_;
};

}  // namespace tapline::test
