#ifndef QV_ARCHIVE_ARCHIVE_H
#define QV_ARCHIVE_ARCHIVE_H

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "archive/Format.h"
#include "core/Buffer.h"

namespace Quorvel {

// Recreates an archive's folders and files under a destination folder.
class QVArchive {
public:
    QVArchive();

    // True when every entry was handled. The whole table is read and checked
    // before anything is written; what was written before a later failure
    // stays on disk.
    bool Extract(const std::wstring& destination, const std::wstring& archivePath);

    // Full path of the last extracted ".swf" file (any case); empty if none.
    const std::wstring& SwfPath() const { return swfPath; }
    const std::vector<boost::shared_ptr<QVFileItem> >& Entries() const { return entries; }

private:
    std::wstring swfPath;
    QVBuffer<char> magic;
    std::vector<boost::shared_ptr<QVFileItem> > entries;
};

}  // namespace Quorvel

#endif
