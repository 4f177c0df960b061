#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>

// A small HTTP/1.1 server on 127.0.0.1 that answers every request with one
// reply and remembers the request targets it was asked for.
class StoreLookupServer : public QTcpServer {
 public:
  StoreLookupServer() {
    connect(this, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { Serve(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
      }
    });
  }

  bool Start() { return listen(QHostAddress::LocalHost, 0); }
  QByteArray BaseUrl() const { return "http://127.0.0.1:" + QByteArray::number(serverPort()); }

  void SetReply(int status, QByteArray body) {
    status_ = status;
    body_ = std::move(body);
  }

  // When set, requests are read but never answered.
  bool silent = false;
  QList<QByteArray> targets;  // "//lookup?country=..." as the client sent it

 private:
  void Serve(QTcpSocket* socket) {
    QByteArray& buffer = buffers_[socket];
    buffer += socket->readAll();
    if (!buffer.contains("\r\n\r\n")) return;
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    buffers_.remove(socket);
    if (requestLine.size() >= 2) targets.append(requestLine[1]);
    if (silent) return;
    const QByteArray reason = status_ == 200 ? "OK" : "Error";
    socket->write("HTTP/1.1 " + QByteArray::number(status_) + ' ' + reason + "\r\n" +
                  "Content-Type: text/javascript; charset=utf-8\r\n" +
                  "Content-Length: " + QByteArray::number(body_.size()) + "\r\n" +
                  "Connection: close\r\n\r\n" + body_);
    socket->disconnectFromHost();
  }

  int status_ = 200;
  QByteArray body_;
  QHash<QTcpSocket*, QByteArray> buffers_;
};
