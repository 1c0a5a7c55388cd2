#ifndef QV_APP_INSTALLER_H
#define QV_APP_INSTALLER_H

#include <stdint.h>

#include <string>
#include <vector>

namespace Quorvel {

// One section of an image as its header describes it.
struct QVSectionSpan {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

// Where size bytes at rva lie in the image's file: true, with the offset,
// when they lie whole within the file's part of one section.
bool FileOffsetOf(const std::vector<QVSectionSpan>& sections, uint32_t rva, uint32_t size, uint32_t* offset);

// Of a resource of size bytes copied in pieces, what the piece at done of
// chunk bytes holds of its first and last pageBytes: the parts to compare
// with the running image, as [*begin, *end) of the resource (the first
// page's part, then the last's). Each is empty where the piece holds none.
struct QVComparedParts {
    uint32_t headBegin, headEnd, tailBegin, tailEnd;
};
QVComparedParts ComparedParts(uint32_t done, uint32_t chunk, uint32_t size, uint32_t pageBytes);

// The value of key in [section] of INI text, read much as the profile
// functions read it: names compared without regard to ASCII case, blanks
// around names and values dropped, one pair of double quotes around the
// value removed, the first match taken. Empty when absent.
std::wstring IniValue(const std::wstring& text, const std::wstring& section, const std::wstring& key);

// A game name the installation can use in base (which ends with a
// backslash): a plain file name, short enough that every file the
// installation folder holds at its top (the client base\name\name.exe
// among them) has a path of at most 259 characters.
bool IsUsableGameName(const std::wstring& base, const std::wstring& name);

// The name of the settings file's first copy in the base folder, made from
// its bytes ("qvs", four hexadecimal digits, ".tmp"): every run of one
// installer uses the same name, so a run killed while the copy lives
// leaves it where the next run finds it again.
std::wstring SettingsCopyName(const void* settings, uint32_t size);

// The session-wide kernel object that lets one installation of a game run
// at a time, from the game's name in upper case (the folder's name does not
// depend on letter case).
std::wstring InstanceLockName(const std::wstring& upperCaseName);

}  // namespace Quorvel

#endif
