#ifndef QV_FINGERPRINT_DISKSERIAL_H
#define QV_FINGERPRINT_DISKSERIAL_H

#include <stdint.h>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace Quorvel {

const size_t kIdentifyBlockSize = 512;

// Distinct 512-byte IDENTIFY answers in the order they were first seen.
class DiskIdentifyList {
public:
    // Adds a copy unless an equal block is already there; false then.
    bool AddIdentifyBlock(const unsigned char* block);
    void Clear() { m_blocks.clear(); }
    size_t Size() const { return m_blocks.size(); }
    const unsigned char* Block(size_t i) const { return &(*m_blocks[i])[0]; }

private:
    std::vector<boost::shared_ptr<std::vector<unsigned char> > > m_blocks;
};

// Words 10 to 19, high byte first in each, without trailing spaces (the
// first byte always stays), up to the first zero byte.
std::string SerialFromIdentify(const unsigned char* block);
// The serial of the first fixed disk (word 0, bit 6) whose serial is not
// empty; empty if none.
std::string ChooseSerial(const DiskIdentifyList& list);

// From the disks themselves: empty when no fixed disk answers.
std::wstring ReadDiskSerial();

}  // namespace Quorvel

#endif
