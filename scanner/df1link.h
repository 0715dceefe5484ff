// DF1 full-duplex link layer (BCC variant) on the scanner's serial port.
//
// The byte level of the controller link: the process-wide port and its
// receive buffer (declared in comport.h, defined here), the link symbols (DLE pairs), sending one frame and
// waiting for its acknowledgement, receiving one frame, and answering the
// controller's enquiries. Everything runs on the scanner's main thread.
//
// Every wait for input is one wait on the port and the signal events
// together against a monotonic deadline, so signals are delivered while the
// scanner waits for the line and a flood of them never shortens a time-out.
#pragma once
#include <cstdint>

#include "platform/serial.h"
#include "scanner/comport.h"

// Link constants.
constexpr uint8_t kDf1Dle = 0x10;
constexpr uint8_t kDf1Stx = 0x02;
constexpr uint8_t kDf1Etx = 0x03;
constexpr uint8_t kDf1Enq = 0x05;
constexpr uint8_t kDf1Ack = 0x06;
constexpr uint8_t kDf1Nak = 0x15;

// Link symbols returned by Df1_ReadSymbol (0..255 is a plain data byte).
enum Df1Symbol : int {
  kSymStx = -1,      // DLE STX
  kSymEtx = -2,      // DLE ETX
  kSymAck = -3,      // DLE ACK
  kSymNak = -4,      // DLE NAK
  kSymEnq = -5,      // DLE ENQ, already answered
  kSymDle = -6,      // DLE DLE: one data byte 0x10
  kSymTimeout = -7,  // no byte in time (also a missing second byte of a pair)
  kSymOther = -8,    // DLE followed by any other byte
};

// Link result codes; also the first indexes of the scan error texts.
enum Df1Result : int {
  kDf1Ok = 0,
  kDf1CommandTooLong = 2,
  kDf1CommandTimeout = 3,  // no acknowledgement
  kDf1CommandNak = 4,
  kDf1Unrecognised = 5,
  kDf1ReceiveTimeout = 6,  // no frame start
  kDf1Incomplete = 7,      // time-out inside a frame
  kDf1NoStx = 8,           // errno = the symbol that came instead
  kDf1BadSymbol = 9,
  kDf1BadBcc = 10,
  kDf1TooLong = 11,
};

// Size of the static send frame buffer.
constexpr int kDf1FrameBufferSize = 256;

// Time-outs of the link in ms. The defaults are the link's nominal values.
struct Df1Timeouts {
  int ackMs = 200;     // acknowledgement of a sent frame
  int firstMs = 500;   // first symbol of a reply
  int symbolMs = 50;   // each further symbol, and the second byte of a pair
};
const Df1Timeouts& Df1_GetTimeouts();
void Df1_SetTimeouts(const Df1Timeouts& t);

// Two's complement of the 8-bit sum of the bytes.
uint8_t Df1_Bcc(const uint8_t* data, int length);
// XOR of the bytes.
uint8_t Df1_Lrc(const uint8_t* data, int length);
// CRC-16, polynomial 0x1021, initial value 0, most significant bit first.
uint16_t Df1_Crc16(const uint8_t* data, int length);

int Df1_ReadSymbol(ComPort port, int timeoutMs);
// Sends one frame and waits for its acknowledgement: 0, 2, 3, 4 or 5. The
// wait starts when the frame has left: after the write has drained, and
// never before the frame's wire time at the port's rate has passed (a
// pseudo-terminal drains at once).
int Df1_SendFrame(ComPort port, const uint8_t* data, int length);
// Receives one frame into buffer (capacity bytes): 0 or 6..11; *length is
// the count of data bytes on success, else 0.
int Df1_ReceiveFrame(ComPort port, uint8_t* buffer, int* length, int capacity);
void Df1_SendAck(ComPort port);
void Df1_SendNak(ComPort port);
void Df1_RepeatResponse(ComPort port);
// The last response sent (ACK or NAK); NAK until the first is sent.
uint8_t Df1_LastResponse();
// Forgets the receive buffer and the last response (a fresh start, as after
// process start).
void Df1_ResetLink();
