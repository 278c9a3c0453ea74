// An echo server for the window's tests: it answers each client with what the client sent, on Qt's loop
// (the same thread as the relay). Made, used and destroyed on the test's thread.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

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

}  // namespace tapline::test
