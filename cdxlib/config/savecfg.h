// Saved configuration archives: the configuration directory (the current
// directory), its saved output values and optional extra directories packed
// into one archive file.
//
// The target's extension chooses the kind:
//   ".cdx"   a tar archive compressed with compress (LZW, as "uncompress"
//            reads it)
//   ".tar"   a tar archive
//   other    an archive of the system's archiver "kvzip" in CDX_BIN (a zip
//            file)
// Members of a tar archive are named as the command line gives them: "./..."
// for the configuration directory, "../SAVED_VALUES/..." and "../<extra>/..."
// for its siblings. The programs run as child processes in the current
// directory, with their error output (and compress's output) read through
// pipes of their own, so saves on several threads do not disturb each other.
//
// An archive is never left half-written: every kind is written to a
// temporary file beside the target ("<target>.<pid>.XXXXXX.part", made new
// with O_EXCL, so a link planted there is never followed), flushed to the
// disk and renamed over the target only when complete. A failed save (or a
// process killed during one) leaves the previous archive, or none, and never
// a torn one; what a killed save left is removed by the next save to that
// target (and, for the tar file of a compressed archive, to that name).
//
// A target inside a directory it would pack (the configuration directory, or
// a sibling packed with it) is refused with 87 before anything is written,
// for every kind: the archive would otherwise pack its predecessor.
//
// Results: 0, or -1 with errno and the thread's last error set: a child's
// non-zero exit code, 31 when tar wrote anything to its error output (any
// warning fails the save), 3 when the CDX_SAVED_CONFIG directory is missing,
// 123 for a target whose file name is empty, "." or "..", else the system
// error of the failing step.
#pragma once
#include <string>
#include <vector>

enum class SaveCfgKind { kCompressedTar, kTar, kZip };

// The kind for a target (possibly in double quotes): the last 4 characters
// before a closing quote compared without regard to case; a name of 4
// characters or fewer is a zip archive.
SaveCfgKind SaveCfg_KindOf(const char* target);

// Saves into the target (possibly in double quotes) by its kind.
// extraDirs: also pack the extra directories.
int SaveCfg_Archive(const char* target, int extraDirs);
// A tar archive; with compress, the tar file is made in CDX_SAVED_CONFIG
// (the target's file name with the extension ".tar") and compressed into
// the target, and it is deleted afterwards in every case.
int SaveCfg_TarArchive(const char* target, int compress, int extraDirs);
// A kvzip archive of the current directory, the siblings "SAVED_VALUES" and
// "REPLAY_OPTIONS" when they exist, and with extraDirs the extra
// directories.
int SaveCfg_ZipArchive(const char* target, int extraDirs);

// Removes the surrounding double quotes of path in place and deletes that
// file (so that a save starts without it): 0, or -1 with the error of the
// deletion.
int SaveCfg_Unquote(char* path);

// The extra directories, siblings of the configuration directory (before
// the check that they exist): the registry's "ExtraSaveDirs" text under
// HKEY_LOCAL_MACHINE "SOFTWARE\Quillomatic\Coordinatrix" (entries separated
// by ';') when it is there, else the edition's list
// (SaveCfg_EditionExtraDirs of the installed product name).
std::vector<std::string> SaveCfg_ExtraDirs(bool forTar);
// The edition's list: the tar list begins with "REPLAY_OPTIONS"; then for
// VORN, KELPO and TARVI "CMONITORS" and "TRENDS"; for TARVI "MONITORS" and
// "AMONITORS"; for VORN and KELPO "MONPICLIB" and "DATA_IMP"; for TARVI
// "WEBHMI" (product names compared without regard to case on their first 4
// characters for VORN and their first 5 for KELPO and TARVI).
std::vector<std::string> SaveCfg_EditionExtraDirs(const char* product, bool forTar);
