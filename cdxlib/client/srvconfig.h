// Configuration of a device, its channels and the loggers on whichever
// machine runs the central server.
//
// For this machine, or a server reached through its named pipe, the
// configuration directory is reached directly (CDX_CURRENT_CONFIG, or the
// pipe server's share of it) and the loaders and savers of configfiles.h do
// the work. For any other server each operation is one request ("IF",
// "GF", "HF", "FF", "CF"); when that request fails for any reason other
// than an XML error (1465: the server's own loaders refused the files), the
// same bytes are moved with the remote file requests of srvfile.h on the
// path "CDX_CURRENT_CONFIG\<subdirectory>\<file>", which the server
// resolves.
//
// On the file road a channel range's extra data sits at the block of its
// first channel (count equal blocks), as the loaders and savers keep it; and
// the enable flag and save options asked for or given go through their own
// files ("config" byte 0, "saveconfig"), so none is left unread or unwritten.
// After a channel write into a device directory (either road), and after a
// device write that went through the file road, the root's "config" is read
// and written back so that its change time moves.
//
// An absent or empty subdirectory means the configuration root itself.
// Every operation returns 0, or -1 with errno and the last error as the
// failing step left them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdxlib/records/chanconfig.h"

// ---------------------------------------------------------------- channels

int SrvCfg_ReadChannelsEx(const char* server, const char* subdir, int kind, ChannelConfig* records, int first,
                          int count, void* extra, uint32_t extraLength, const char* extraFileName);
int SrvCfg_ReadChannels(const char* server, const char* subdir, int kind, ChannelConfig* records, int first,
                        int count);

// merge 1 updates the channel files, 0 rewrites them.
int SrvCfg_WriteChannelsAll(const char* server, const char* user, const char* subdir, int kind,
                            const ChannelConfig* records, int first, int count, const void* extra,
                            uint32_t extraLength, const char* extraFileName, int merge);
int SrvCfg_WriteChannelsEx(const char* server, const char* user, const char* subdir, int kind,
                           const ChannelConfig* records, int first, int count, const void* extra,
                           uint32_t extraLength, const char* extraFileName);
int SrvCfg_RewriteChannelsEx(const char* server, const char* user, const char* subdir, int kind,
                             const ChannelConfig* records, int first, int count, const void* extra,
                             uint32_t extraLength, const char* extraFileName);
int SrvCfg_WriteChannels(const char* server, const char* subdir, int kind, const ChannelConfig* records, int first,
                         int count);

// ---------------------------------------------------------------- devices

// The flag outputs are optional (null: not wanted).
int SrvCfg_ReadDeviceAll(const char* server, const char* subdir, void* record, uint32_t size, void* extra,
                         uint32_t extraLength, const char* extraFileName, uint8_t* enable, uint8_t* saveOutputs,
                         uint8_t* saveByTag, uint32_t* saveRate);
int SrvCfg_ReadDeviceEx(const char* server, const char* subdir, void* record, uint32_t size, void* extra,
                        uint32_t extraLength, const char* extraFileName);
int SrvCfg_ReadDevice(const char* server, const char* subdir, void* record, uint32_t size);

// The flag inputs are optional (null: not written).
int SrvCfg_WriteDeviceAll(const char* server, const char* user, const char* subdir, const void* record,
                          uint32_t size, const void* extra, uint32_t extraLength, const char* extraFileName,
                          const uint8_t* enable, const uint8_t* saveOutputs, const uint8_t* saveByTag,
                          const uint32_t* saveRate);
int SrvCfg_WriteDeviceEx(const char* server, const char* user, const char* subdir, const void* record,
                         uint32_t size, const void* extra, uint32_t extraLength, const char* extraFileName);
int SrvCfg_WriteDevice(const char* server, const char* subdir, const void* record, uint32_t size);

int SrvCfg_ReadEnable(const char* server, const char* subdir, uint8_t* enable);
int SrvCfg_WriteEnable(const char* server, const char* subdir, const uint8_t* enable);
int SrvCfg_ReadSaveConfig(const char* server, const char* subdir, uint8_t* saveOutputs, uint8_t* saveByTag,
                          uint32_t* saveRate);
int SrvCfg_WriteSaveConfig(const char* server, const char* subdir, const uint8_t* saveOutputs,
                           const uint8_t* saveByTag, const uint32_t* saveRate);

// ---------------------------------------------------------------- loggers

// The logger file "LOGGERS\<name>_<number>" below the configuration root:
// on this machine's road through Cfg_LoadLogger and Cfg_SaveLogger (the XML
// files as "ReadXML" and "WriteXML" choose them, with the change history),
// on other servers as the raw record.
int SrvCfg_ReadLogger(const char* server, const char* loggerName, int loggerNumber, void* record,
                      uint32_t length);
int SrvCfg_WriteLogger(const char* server, const char* loggerName, int loggerNumber, const void* record,
                       uint32_t length, const char* user);

// ---------------------------------------------------------------- whole files

// Copies "<subdir>\<file>" of the server's configuration tree to a local
// file (created anew), or a local file into the server's tree.
int SrvCfg_CopyFromServer(const char* server, const char* subdir, const char* fileName, const char* localPath);
int SrvCfg_CopyToServer(const char* server, const char* subdir, const char* fileName, const char* localPath);
