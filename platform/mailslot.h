// Mailslots: one-way message queues between processes of one machine.
//
// What the system relies on, and how it is kept here:
// - The reader creates the mailslot by name; a second create of the same
//   name fails with 183 (already exists) while the first reader lives.
// - Any process opens an existing mailslot for writing; the open fails with
//   2 (file not found) when there is no reader.
// - A write takes the message at once and never waits on the reader, as a
//   Windows mailslot does. Each message is delivered whole, and the messages
//   of one process to one mailslot arrive in the order they were written.
//   When the reader's socket does not take a message at once (the reader is
//   stopped, or kept off the processor), the message joins the process's
//   queue for that mailslot, which a sender thread of the process drains as
//   the reader takes messages. A queue holds at most 8 MiB: past that the
//   oldest messages are dropped, and the error log says once how many when
//   the reader takes messages again (or its process or ours ends). A reader
//   that is found gone fails the write with 2; what was queued for it is
//   lost (and counted in the error log).
// - Writers of one process share one connected socket per mailslot name, so
//   an open of a mailslot already open costs no system call.
// - At a normal exit (exit(), or return from main) queued messages get up to
//   2 s to go out. A child of fork starts with empty queues: what the parent
//   queued is the parent's to send.
// - Messages are never lost under a burst while the reader is busy: the
//   reader's drain thread takes datagrams off the socket as they arrive and
//   queues them in the process, so the socket's small queue never fills.
// - Names are case-blind.
//
// A name is a mailslot path, "\\.\mailslot\" followed by the mailslot's own
// name (the "\\.\" form means this machine). The prefix is matched
// case-blind. A path naming another machine ("\\host\mailslot\x") fails with
// 53 (bad network path); a path without the mailslot prefix fails with 123.
//
// Underneath, a mailslot is an abstract AF_UNIX datagram socket whose name
// carries the instance tag (root.h) and the lower-cased mailslot name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sync.h"

namespace plat {

constexpr int kMailslotWaitForever = -1;

class MailslotReader {
 public:
  // Creates the mailslot. maxMessage is the largest message accepted (0:
  // any size up to 64 KiB); larger messages are dropped by the reader.
  // Returns null with the system error set on failure.
  static std::unique_ptr<MailslotReader> Create(const std::string& path, uint32_t maxMessage);
  virtual ~MailslotReader() = default;

  // Reads the next whole message into buf. timeoutMs: kMailslotWaitForever,
  // 0 (only what is queued) or a limit. Returns its length, or -1 with 121
  // on time-out, or -1 with 122 when buf is smaller than the message (the
  // message stays queued).
  virtual int Read(void* buf, size_t capacity, int timeoutMs) = 0;
  // Number of queued messages.
  virtual size_t Pending() const = 0;
  // Signalled (manual reset) while at least one message is queued.
  virtual Waitable& Readable() = 0;
  // Wakes every blocked Read() with -1 and error 995 (operation aborted);
  // later reads fail the same way. The mailslot's name is released at once:
  // opens for writing fail with 2 and the name may be created again. Used
  // before the reader is destroyed.
  virtual void Shutdown() = 0;
};

class MailslotWriter {
 public:
  // Opens an existing mailslot for writing; null with 2 when there is no reader.
  static std::unique_ptr<MailslotWriter> Open(const std::string& path);
  virtual ~MailslotWriter() = default;
  // Sends one message without waiting. Returns n, or -1 with the system
  // error set (2 when the reader has been found gone, 87 above 64 KiB).
  virtual int Write(const void* data, size_t n) = 0;
};

// Waits up to timeoutMs for every queued message of this process to go out;
// true when none is left.
bool FlushMailslots(int timeoutMs);
// Messages of this process queued for their readers.
size_t QueuedMailslotMessages();

// Where the report of dropped messages goes (one line, "\r\n" at its end):
// null for the platform's event log under the source "mailslot".
using MailslotDropReporter = void (*)(const char* text);
void SetMailslotDropReporter(MailslotDropReporter reporter);

}  // namespace plat
