// The named-pipe transport (kind 1).
#include "cdxlib/client/pipeclient.h"

#include <cstdio>
#include <new>

#include "cdxlib/sys/servernames.h"
#include "platform/debugout.h"
#include "platform/error.h"
#include "platform/pipe.h"

namespace {
struct PipeHandle {
  int fd;
};
}  // namespace

std::string Pipe_Name(const char* server) {
  return std::string("\\\\") + (server && *server ? server : ".") + "\\pipe\\coordinatrix";
}

int Pipe_Open(ServerConnection* entry) {
  char line[1400];
  snprintf(line, sizeof line, ">>%s Opening pipe connection\r\n", entry->name);
  plat::OutputDebugText(line);
  int fd = plat::PipeOpen(Pipe_Name(entry->name));
  if (fd < 0) {
    entry->kind = kSrvKindClosed;
    return 0;
  }
  auto* h = new (std::nothrow) PipeHandle{fd};
  if (!h) {
    plat::PipeClose(fd);
    plat::Fail(plat::kErrNotEnoughMemory);
    return 0;
  }
  entry->handle = h;
  entry->kind = kSrvKindPipe;
  return 1;
}

int Pipe_Transact(ServerConnection* entry, const void* request, uint32_t length, char* reply,
                  uint32_t* replyLength) {
  auto* h = static_cast<PipeHandle*>(entry->handle);
  if (!h) {
    *replyLength = 0;
    plat::Fail(plat::kErrInvalidHandle);
    return 0;
  }
  long got = plat::PipeTransact(h->fd, request, length, reply, *replyLength, Srv_EntryTimeout(entry, kPipeDefaultTimeoutMs));
  if (got < 0) {
    *replyLength = 0;
    return 0;
  }
  *replyLength = static_cast<uint32_t>(got);
  return 1;
}

void Pipe_Close(ServerConnection* entry) {
  auto* h = static_cast<PipeHandle*>(entry->handle);
  if (h) {
    plat::PipeClose(h->fd);
    delete h;
  }
  entry->handle = nullptr;
}

const SrvTransport kPipeTransport = {"pipe", Pipe_Open, Pipe_Transact, Pipe_Close};
