// What make-installer checks and reads before it builds an installer. The
// checks print what is wrong and how to mend it, one line, and exit 1; they
// exit 0, silently, when all is well.
//   qvcheck --archive ARCHIVE
//     an archive the installer could extract: its table, every entry's name,
//     and data that is all there.
//   qvcheck SETTINGS ARCHIVE [CODEPAGE]
//     the settings file as the players' Windows will read it: text in the
//     ANSI code page CODEPAGE (936 unless given), without a byte-order mark;
//     a [game] name that is a plain file name there; and short enough that
//     the longest path the installation makes (the archive's entries among
//     them, if it can be read), for a profile folder of up to 40 characters,
//     stays within 259.
//   qvcheck --fields SETTINGS [CODEPAGE]
//     prints [game] name and version in UTF-8, a line each (bytes the code
//     page cannot decode become U+FFFD), for the installer's version block.
//   qvcheck --icon FILE
//     whether FILE is an icon file (.ico) Windows can show; exits 1 if not.
#include <errno.h>
#include <iconv.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "app/Installer.h"
#include "archive/EntryName.h"
#include "archive/Format.h"
#include "core/Names.h"
#include "tools/HostArchive.h"
#include "tools/HostUtf8.h"

using namespace Quorvel;

namespace {

const size_t kLongestPath = 259;
const size_t kProfileLength = 40;  // "C:\Users\" and a user name of 31 characters
// Where Windows puts a profile's folders unless told otherwise. The
// installer asks the shell for them; the check assumes these.
const wchar_t kRoamingBelowProfile[] = L"\\AppData\\Roaming\\";
const wchar_t kProgramsBelowRoaming[] = L"Microsoft\\Windows\\Start Menu\\Programs\\";
const wchar_t kDesktopBelowProfile[] = L"\\Desktop\\";

// make-installer says which input it was; the message says what is wrong.
int Refuse(const std::string& message) {
    fprintf(stderr, "%s\n", message.c_str());
    return 1;
}

bool ReadFile(const std::string& path, std::string* bytes) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == NULL) return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes->append(chunk, n);
    const bool ok = !ferror(file);
    fclose(file);
    return ok;
}

// Valid UTF-8 with at least one character outside ASCII.
bool LooksLikeUtf8(const std::string& bytes) {
    std::wstring units;
    return Utf8ToUnits(bytes, &units) && units.size() < bytes.size();
}

// The text decoded from the code page; false, with the first line that is
// not valid text of it, otherwise.
bool Decode(const std::string& bytes, const std::string& codePage, std::wstring* text, size_t* badLine) {
    iconv_t converter = iconv_open("WCHAR_T", ("CP" + codePage).c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    std::vector<wchar_t> out(bytes.size() + 1);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* outPtr = reinterpret_cast<char*>(&out[0]);
    size_t outLeft = out.size() * sizeof(wchar_t);
    const size_t result = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(converter);
    if (result == static_cast<size_t>(-1) || inLeft != 0) {
        const size_t at = bytes.size() - inLeft;
        *badLine = 1;
        for (size_t i = 0; i < at; ++i) *badLine += bytes[i] == '\n';
        return false;
    }
    text->assign(&out[0], (reinterpret_cast<wchar_t*>(outPtr) - &out[0]));
    return true;
}

// The entries' names, as extraction joins them below res\.
bool ArchiveNames(const std::string& path, std::vector<std::wstring>* names) {
    QVHostTable read;
    std::string error;
    if (!ReadArchiveTable(path, &read, &error)) return false;
    std::vector<boost::shared_ptr<QVFileItem> > items;
    if (!DecodeTable(read.table.data(), read.count, items)) return false;
    for (size_t i = 0; i < items.size(); ++i) {
        std::wstring name = ItemName(*items[i]);
        name.erase(0, name.find_first_not_of(L"\\/"));
        names->push_back(name);
    }
    return true;
}

std::string Utf8(const std::wstring& text) { return UnitsToUtf8(text); }

int CheckArchive(const std::string& path) {
    QVHostTable read;
    std::string error;
    if (!ReadArchiveTable(path, &read, &error)) return Refuse(error);
    uint64_t data = 0;
    for (uint32_t i = 0; i < read.count; ++i) {
        QVFileItem item;
        DecodeItem(&read.table[static_cast<size_t>(i) * kEntrySize], item);
        if (!IsSafeEntry(item)) {
            return Refuse("entry " + std::to_string(i + 1) + ", \"" + Utf8(ItemName(item)) +
                          "\", is one the installer refuses: a reserved name (CON, NUL, COM1 ...), a dot or space at "
                          "the end, a forbidden character, or a path that leaves the resource folder");
        }
        if (item.type == kEntryFile) data += item.size;
    }
    const uint64_t end = kHeaderSize + read.table.size() + data;
    if (end > read.archiveSize) {
        return Refuse("the entries' data needs " + std::to_string(end) + " bytes, the archive has " +
                      std::to_string(read.archiveSize) + ": it is cut short");
    }
    return 0;
}

// Decodes what can be decoded; each byte that cannot becomes U+FFFD.
std::wstring DecodeLossy(const std::string& bytes, const std::string& codePage) {
    std::wstring text;
    iconv_t converter = iconv_open("WCHAR_T", ("CP" + codePage).c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) return text;
    size_t at = 0;
    while (at < bytes.size()) {
        wchar_t out[256];
        char* in = const_cast<char*>(bytes.data()) + at;
        size_t inLeft = bytes.size() - at;
        char* outPtr = reinterpret_cast<char*>(out);
        size_t outLeft = sizeof(out);
        const size_t result = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
        text.append(out, reinterpret_cast<wchar_t*>(outPtr) - out);
        at = bytes.size() - inLeft;
        if (result == static_cast<size_t>(-1) && errno != E2BIG) {
            text += static_cast<wchar_t>(0xFFFD);
            ++at;
            iconv(converter, NULL, NULL, NULL, NULL);
        }
    }
    iconv_close(converter);
    return text;
}

int Fields(const std::string& settings, const std::string& codePage) {
    std::string bytes;
    if (!ReadFile(settings, &bytes)) return Refuse(settings + " cannot be read");
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    const std::wstring text = DecodeLossy(bytes, codePage);
    printf("%s\n%s\n", Utf8(IniValue(text, L"game", L"name")).c_str(), Utf8(IniValue(text, L"game", L"version")).c_str());
    return 0;
}

uint32_t Read32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

// An icon file: a header (reserved 0, type 1, the number of images), a
// 16-byte entry per image, each image's bytes within the file.
int CheckIcon(const std::string& path) {
    std::string b;
    if (!ReadFile(path, &b)) return Refuse(path + " cannot be read");
    const size_t count = b.size() >= 6 ? (static_cast<unsigned char>(b[4]) | static_cast<unsigned char>(b[5]) << 8) : 0;
    if (b.size() < 6 || b[0] != 0 || b[1] != 0 || b[2] != 1 || b[3] != 0 || count == 0 || b.size() < 6 + 16 * count) {
        return Refuse(path + " is not an icon file (.ico): save the icon as ICO, with sizes such as 16, 32 and 48 pixels");
    }
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = 6 + 16 * i;
        const uint32_t size = Read32(b, entry + 8), offset = Read32(b, entry + 12);
        if (size < 40 || offset < 6 + 16 * count || static_cast<uint64_t>(offset) + size > b.size()) {
            return Refuse(path + " is not a valid icon file: image " + std::to_string(i + 1) + " lies outside the file");
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "--fields") == 0) return Fields(argv[2], argc > 3 ? argv[3] : "936");
    if (argc == 3 && strcmp(argv[1], "--icon") == 0) return CheckIcon(argv[2]);
    if (argc == 3 && strcmp(argv[1], "--archive") == 0) return CheckArchive(argv[2]);
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: qvcheck --archive ARCHIVE | qvcheck SETTINGS ARCHIVE [CODEPAGE]\n");
        return 2;
    }
    const std::string settings = argv[1];
    const std::string codePage = argc > 3 ? argv[3] : "936";
    const std::string saveAs = "save it as plain text in code page " + codePage +
                               (codePage == "936" ? " (GBK: \"ANSI\" in Notepad on a Chinese Windows)" : "") +
                               ", without a byte-order mark";
    std::string bytes;
    if (!ReadFile(settings, &bytes)) return Refuse("the file cannot be read");
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return Refuse("the file is saved as UTF-8 with a byte-order mark, which Windows does not read as code page " +
                                    codePage + ": " + saveAs);
    }
    if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0) {
        return Refuse("the file is saved as UTF-16 (\"Unicode\"): " + saveAs);
    }
    if (codePage != "65001" && LooksLikeUtf8(bytes)) {
        return Refuse("the file is UTF-8 text, but the players' Windows reads it in code page " + codePage +
                                    " and would install under a garbled name: " + saveAs +
                                    " (or, if it really is code page " + codePage +
                                    " text, pass --unchecked-settings)");
    }
    std::wstring text;
    size_t badLine = 0;
    if (!Decode(bytes, codePage, &text, &badLine)) {
        if (badLine == 0) return Refuse("code page " + codePage + " is not one this machine can decode");
        char line[32];
        snprintf(line, sizeof(line), "%zu", badLine);
        return Refuse("line " + std::string(line) + " is not text that code page " + codePage +
                                    " can represent: " + saveAs);
    }
    const std::wstring name = IniValue(text, L"game", L"name");
    if (name.empty()) return Refuse("the file has no [game] name: the installation folder, client and shortcuts are named after it");
    if (!IsPlainNameComponent(name)) {
        return Refuse("[game] name \"" + Utf8(name) +
                                    "\" is not a plain file name: no \\ / : * ? \" < > |, control characters, "
                                    "device names (CON, NUL, COM1 ...), or a dot or space at the end");
    }
    // An archive that cannot be read is the archive check's to refuse.
    std::vector<std::wstring> entries;
    ArchiveNames(argv[2], &entries);
    std::wstring longestEntry;
    for (const std::wstring& e : entries) {
        if (e.size() > longestEntry.size()) longestEntry = e;
    }
    // Every path the installation makes below a profile folder P, with "*"
    // for the game's name (no entry's name holds one).
    const std::wstring folder = std::wstring(kRoamingBelowProfile) + L"*\\";
    const std::wstring patterns[] = {
        std::wstring(kRoamingBelowProfile) + kProgramsBelowRoaming + L"*\\" + kUninstallPrefix + L"*" + kShortcutExtension,
        std::wstring(kDesktopBelowProfile) + L"*" + kShortcutExtension,
        folder + L"*" + kClientExtension,
        folder + kSettingsFileName,
        folder + kTempClientFileName,
        folder + kArchiveFileName,
        folder + kResourceFolderName + L"\\" + longestEntry,
    };
    struct Path {
        std::string what;
        size_t length;
    };
    // The longest of them for a name of n characters.
    const auto longestFor = [&](size_t n) {
        Path longest = {std::string(), 0};
        for (const std::wstring& pattern : patterns) {
            size_t names = 0;
            std::wstring what = L"P";
            for (wchar_t c : pattern) {
                names += c == L'*';
                what += c == L'*' ? std::wstring(L"<name>") : std::wstring(1, c);
            }
            const size_t length = kProfileLength + pattern.size() - names + names * n;
            if (length > longest.length) longest = {Utf8(what), length};
        }
        return longest;
    };
    const Path longest = longestFor(name.size());
    if (longest.length > kLongestPath) {
        size_t fits = name.size();
        while (fits > 0 && longestFor(fits).length > kLongestPath) --fits;
        char message[720];
        snprintf(message, sizeof(message),
                 "[game] name has %zu characters: with a profile folder P of up to %zu characters, the longest path "
                 "the installation makes, %s, would have %zu characters, more than the %zu that Windows allows; "
                 "a name of at most %zu characters fits",
                 name.size(), kProfileLength, longest.what.c_str(), longest.length, kLongestPath, fits);
        return Refuse(message);
    }
    return 0;
}
