#include "log_format.h"

#include <algorithm>
#include <cstring>

LogScanner::LogScanner(FILE* file) : file_(file) {}

bool LogScanner::Start(ULONGLONG from) {
    if (!file_ || _fseeki64(file_, 0, SEEK_END) != 0) return false;
    __int64 length = _ftelli64(file_);
    if (length < 0) return false;
    fileLength_ = static_cast<ULONGLONG>(length);
    soundLength_ = from < fileLength_ ? from : fileLength_;
    windowLength_ = 0;
    readFailed_ = false;
    return true;
}

bool LogScanner::LengthsAddUp(const LogEntryHeader& header) {
    ULONGLONG total = ULONGLONG{kLogHeaderBytes} + (header.moduleNameLength & kLogLengthMask) +
                      (header.functionNameLength & kLogLengthMask) + (header.messageLength & kLogLengthMask);
    return total == header.entryLength;
}

bool LogScanner::ReadAt(ULONGLONG offset, void* out, size_t bytes) {
    if (bytes == 0) return true;
    if (offset > fileLength_ || bytes > fileLength_ - offset) return false;
    if (offset >= windowStart_ && offset + bytes <= windowStart_ + windowLength_) {
        std::memcpy(out, window_.data() + (offset - windowStart_), bytes);
        return true;
    }
    if (_fseeki64(file_, static_cast<__int64>(offset), SEEK_SET) != 0) {
        readFailed_ = true;
        return false;
    }
    if (bytes > kWindowBytes) {
        // Larger than the window: straight into the caller's buffer.
        if (std::fread(out, 1, bytes, file_) != bytes) {
            readFailed_ = true;
            return false;
        }
        return true;
    }
    window_.resize(kWindowBytes);
    size_t wanted = static_cast<size_t>(std::min<ULONGLONG>(kWindowBytes, fileLength_ - offset));
    size_t got = std::fread(window_.data(), 1, wanted, file_);
    windowStart_ = offset;
    windowLength_ = got;
    if (got < bytes) {
        readFailed_ = true;  // the file is shorter than it was
        return false;
    }
    std::memcpy(out, window_.data(), bytes);
    return true;
}

bool LogScanner::Next(LogEntryHeader& header, ULONGLONG& offset) {
    if (readFailed_ || fileLength_ - soundLength_ < kLogHeaderBytes) return false;
    if (!ReadAt(soundLength_, &header, sizeof header)) return false;
    if (!LengthsAddUp(header) || header.entryLength > fileLength_ - soundLength_) return false;
    offset = soundLength_;
    soundLength_ += header.entryLength;
    return true;
}
