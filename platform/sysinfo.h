// System information: the names and versions that the system reports about
// the machine and the user.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

// Longest computer name (as the system's NetBIOS name).
constexpr size_t kMaxComputerName = 15;
// Longest user name.
constexpr size_t kMaxUserName = 32;

// The computer's name: the host name up to its first ".", upper case, cut
// to 15 characters. "LOCALHOST" when the host name cannot be read.
std::string ComputerName();

// The name of the user the process runs as (its effective user), cut to 32
// characters; the numeric user id when the user has no name.
std::string UserName();

// The operating-system family: always 2, the family whose services this
// platform layer provides (the older family, 1, is never reported).
constexpr int kPlatformIdNt = 2;
int PlatformId();

// The major version of that family that the platform behaves as: 10. Code
// that chooses between the behaviour before version 6 and from version 6
// on gets the newer one, which is what this platform layer offers.
int OsMajorVersion();

// The embedded controller's SDK library does not exist on this system. A
// file named "XPacSDK.dll" directly in the instance root (root.h) stands in
// for it: true when that file exists. Tests and demonstrations create it to
// play the controller platform; on an ordinary installation it is absent.
bool ControllerSdkPresent();

}  // namespace plat
