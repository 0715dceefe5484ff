// Translation tables and the dual-encoding text field.
//
// Three tables, row 0 "tags", row 1 "descriptions", row 2 "units", each read
// from "<name>.txt" or else "<name>.csv" in the translations directory: UTF-8,
// or UTF-16LE after a byte-order mark; lines end CR LF or LF; a line splits
// at its first TAB, else its first comma; the first split line is a header.
// Lookups compare keys in file order, letter case aside.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdxlib/records/chanconfig.h"

enum XlatRow : int { kXlatTags = 0, kXlatDescriptions = 1, kXlatUnits = 2 };
// Result sizes in characters, the terminator included.
constexpr size_t kXlatTagSize = 16, kXlatDescSize = 33, kXlatUnitsSize = 9;

// Loads one table from a directory: 1, or 0 with the message in err (at
// least 300 bytes) or, without err, on standard error. Neither file present
// leaves the table empty and succeeds.
int Xlat_LoadTableFromDir(const char* dir, int row, const char* tableName, char* err);
// The same in the server's "CDX_TRANSLATIONS" directory.
int Xlat_LoadTable(const char* server, int row, const char* tableName, char* err);
// Sets the loaded flag and loads the three tables, stopping at the first
// failure: 1, or 0.
int Xlat_LoadTables(const char* server, char* err);
void Xlat_FreeTables();
// Marks the tables loaded (after Xlat_LoadTableFromDir), so that a lookup
// does not load them from the server's directory.
void Xlat_MarkLoaded();
// "ServerName" of the current user's settings, else the computer name.
const char* Xlat_ServerName();

// 1 and the translation of text in result (size characters with the zero),
// or 0 and the text widened. The tables are loaded on first use.
int Xlat_Lookup(int row, const char* text, char16_t* result, size_t size);
const char16_t* Xlat_Tag(const ChannelConfig& c);
const char16_t* Xlat_Description(const ChannelConfig& c);
const char16_t* Xlat_Units(const ChannelConfig& c);

// The 32-byte dual-encoding field and the flag word whose bit 0 says it is
// present. Text with a character of 256 or above is stored as 0x00 0xFF and
// up to 15 UTF-16 characters; other text as UTF-8 when that fits the 32
// bytes, else as Windows-1252 bytes; zero-terminated when shorter.
constexpr size_t kWideFieldSize = 32;
void Xlat_StoreWideText(unsigned char field[kWideFieldSize], uint32_t* flags, const char16_t* text);
void Xlat_StoreWideText64(unsigned char field[kWideFieldSize], uint32_t* flags, const char16_t* text);
// The field as UTF-16 (up to 32 characters, static buffer); empty when the
// flag bit is clear. Single bytes decode as UTF-8, or as Windows-1252 when
// they are not valid UTF-8.
const char16_t* Xlat_ReadWideText32(const unsigned char field[kWideFieldSize], uint32_t flags);
const char16_t* Xlat_ReadWideText64(const unsigned char field[kWideFieldSize], uint32_t flags);
