#include "cdxlib/client/nettransport.h"

#include "cdxlib/client/srvclient.h"
#include "cdxlib/client/tlssock.h"
#include "cdxlib/client/websvc.h"
#include "platform/error.h"

#include <cerrno>

int Sock_Open(ServerConnection* entry) {
  SockSession* s = Sock_Connect(entry->name, Srv_EntryTimeout(entry, kSrvDefaultTimeoutMs));
  if (!s) return 0;
  entry->handle = s;
  return 1;
}

int Sock_Transact(ServerConnection* entry, const void* request, uint32_t length, char* reply, uint32_t* replyLength) {
  if (!entry->handle) {
    *replyLength = 0;
    return plat::Fail(plat::kErrInvalidHandle), 0;
  }
  // A connection that holds bytes of no request (surplus past the last
  // reply, or the server's close) is replaced before the request goes out.
  if (!Sock_SessionIdle(static_cast<SockSession*>(entry->handle))) {
    Sock_CloseSession(static_cast<SockSession*>(entry->handle));
    entry->handle = nullptr;
    if (!Sock_Open(entry)) {
      *replyLength = 0;
      return 0;
    }
  }
  return Sock_SessionTransact(static_cast<SockSession*>(entry->handle), request, length, reply, replyLength,
                              Srv_EntryTimeout(entry, kSrvDefaultTimeoutMs));
}

// Closing keeps errno and the last error of the failure that led to it.
class KeepError {
 public:
  KeepError() : errno_(errno), last_(plat::GetLastError()) {}
  ~KeepError() {
    errno = errno_;
    plat::SetLastError(last_);
  }
  KeepError(const KeepError&) = delete;
  KeepError& operator=(const KeepError&) = delete;

 private:
  int errno_;
  uint32_t last_;
};

void Sock_Close(ServerConnection* entry) {
  KeepError keep;
  Sock_CloseSession(static_cast<SockSession*>(entry->handle));
  entry->handle = nullptr;
}

int Web_Open(ServerConnection* entry) {
  WebSession* ws = Web_OpenSession(entry->name, Srv_EntryTimeout(entry, 0));
  if (!ws) return 0;
  entry->handle = ws;
  return 1;
}

int Web_Transact(ServerConnection* entry, const void* request, uint32_t length, char* reply, uint32_t* replyLength) {
  if (!entry->handle) {
    *replyLength = 0;
    return plat::Fail(plat::kErrInvalidHandle), 0;
  }
  return Web_SessionTransact(static_cast<WebSession*>(entry->handle), request, length, reply, replyLength,
                             entry->replyCapacity);
}

void Web_Close(ServerConnection* entry) {
  KeepError keep;
  Web_CloseSession(static_cast<WebSession*>(entry->handle));
  entry->handle = nullptr;
}

const SrvTransport* Sock_Transport() {
  static const SrvTransport transport{"socket", Sock_Open, Sock_Transact, Sock_Close};
  return &transport;
}

const SrvTransport* Web_Transport() {
  static const SrvTransport transport{"web", Web_Open, Web_Transact, Web_Close};
  return &transport;
}

void Srv_InstallNetTransports() {
  Srv_SetTransport(kSrvKindSocket, Sock_Transport());
  Srv_SetTransport(kSrvKindWeb, Web_Transport());
}
