// The web package "pack.www": the whole web application (pages, scripts,
// styles, pictures, texts) in one file, and its installation as the folder
// "www" of the program folder.
//
// Format, numbers little-endian:
//   0x80                          start byte
//   directory body                the root: entries up to its 0x03
//   trailer                       0xFF and fill bytes; never walked
//   checksum                      last 4 bytes: XOR of every 32-bit word
//                                 before it
// Entries of a directory body:
//   0x80                          skipped wherever a type byte is expected
//   0x01 name 0 length32 data     file (length 0: no file at that path)
//   0x02 name 0 body              folder
//   0x03                          end of the body
//
// A package is installed only when all of it checks out: size, start byte,
// checksum, structure, every length inside the package, and every name a
// plain file name (no "..", no separators, no drive letters, nothing a
// system would read as a device). It is unpacked into a fresh folder beside
// "www" and the two folders are then swapped, so a power cut at any moment
// leaves a complete web interface: the old one or the new one.
// Event thread only.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Longest path of an entry below "www", with "www/" in front of it.
constexpr int kWebpackPathMax = 255;
// The shipped package is about 2.6 MB; anything past this is no package.
constexpr int64_t kWebpackSizeMax = 64ll << 20;

constexpr const char* kWebFolder = "www";
// Beside "www": the tree being unpacked, and the old tree during the swap.
constexpr const char* kWebFolderNew = "www.new";
constexpr const char* kWebFolderOld = "www.old";
constexpr const char* kBuildFile = "var/build.txt";

// True when data is a complete, sound package (all of the rules above).
bool webpack_verify(std::span<const uint8_t> data);

// Walks the root body of a package. With a target, creates that folder (one
// level) and writes the tree below it; with nullptr, walks without writing.
// Returns the bytes the root body took (from the byte after the start byte
// up to and including the root's 0x03), or -1 for a walk that meets an
// unknown type byte, a length or name running past the package, or a name
// that is refused. A file that cannot be written is skipped. Callers verify
// first: a refusal met by a writing walk leaves what was written so far.
int webpack_unpack(const char* target, std::span<const uint8_t> data);

// Verifies data and installs it as "www" (unpack beside it, then swap).
// 0, or -1 with "www" as it was.
int webpack_install(std::span<const uint8_t> data);

// Installs the shipped package ("packwww" of "[app]" in appinfo.inf) when
// its "build" is newer than the installed one ("var/build.txt"), then
// records that build. 1 installed, 0 nothing to do, -1 a package that was
// refused or could not be installed (nothing changed).
int webpack_install_local();

// Build number of the installed package: "var/build.txt" (up to 128 bytes,
// trailing white space ignored); 0 when it is missing or when there is no
// "www" at all.
int32_t webpack_installed_build();

// Finishes or undoes a swap that a crash interrupted, and removes stale
// unpack folders. Run before every install.
void webpack_recover();

// Builds a package of the tree under folder into out (sorted entries, names
// starting with "." left out). Its size, or -1 with a reason in error when
// the tree holds a name the reader would refuse, a path that is too long, or
// a file that cannot be read.
int64_t webpack_build(const char* folder, std::string& out, std::string& error);

// Whether name may be an entry name: one plain path element of UTF-8.
bool webpack_name_ok(std::string_view name);
