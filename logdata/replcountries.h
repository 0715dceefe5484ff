// The country table of the replication data tree (replication.h), in a
// header of its own so that the file collection can match country names in
// log paths without the rest of the tree.
#pragma once

struct ReplCountry {
  const char* name;  // upper case, Windows-1252
  const char* code;  // ISO 3166-1 alpha-2
  float latitude;
  float longitude;
};
// The country table in name order, ended by an empty row (not counted).
extern const ReplCountry kReplCountries[];
extern const int kReplCountryCount;
