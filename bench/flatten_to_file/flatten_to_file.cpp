// flatten_to_file: the tool's flattening as a program of its own, so that scripts/bench.sh can
// time it as a whole process against objcopy and srec_cat on the same text. It reads an Intel
// HEX file, flattens it with ValidateFwAndConcatenateData and writes image bytes 0 to
// length - 1, the bytes the tool would announce and send.
//
// Usage: flatten_to_file in.hex out.bin
// Exit status: 0 written, 1 the text is not valid, 2 usage or file error.
#include "FlatImage.h"
#include "WorkingBuffers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// The two large buffers (3 MB of text, the 4 MiB image) are aligned to 2 MiB and rounded up to
// whole 2 MiB blocks, and on Linux marked for transparent huge pages: filling them then costs a
// handful of page faults instead of some two thousand, which would be half of the run's time.
// A last block that is mostly unused (the image's 16 guard bytes) stays on small pages, so that
// the system does not clear 2 MiB for it.
constexpr std::size_t kBlock = std::size_t{2} << 20;

void* allocateBlocks(std::size_t size) {
    const std::size_t rounded = (size + kBlock - 1) / kBlock * kBlock;
#ifdef _WIN32
    return _aligned_malloc(rounded, kBlock);
#else
    void* block = std::aligned_alloc(kBlock, rounded);
#ifdef MADV_HUGEPAGE
    const std::size_t lastBlockUse = size - (rounded - kBlock);
    const std::size_t huge = lastBlockUse > kBlock / 4 ? rounded : rounded - kBlock;
    if (block != nullptr && huge > 0) {
        (void)madvise(block, huge, MADV_HUGEPAGE); // a hint: without it the run is only slower
    }
#endif
    return block;
#endif
}

void releaseBlocks(void* block) {
#ifdef _WIN32
    _aligned_free(block);
#else
    std::free(block);
#endif
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: flatten_to_file in.hex out.bin\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr || std::fseek(in, 0, SEEK_END) != 0) {
        std::fprintf(stderr, "flatten_to_file: cannot read %s\n", argv[1]);
        return 2;
    }
    const long size = std::ftell(in);
    std::rewind(in);
    // The text, followed by 16 zero bytes and writable, as the tool's working copies are.
    const auto textSize = static_cast<std::size_t>(size > 0 ? size : 0);
    auto* text = static_cast<char*>(allocateBlocks(textSize + 16));
    const std::size_t got = text != nullptr ? std::fread(text, 1, textSize, in) : 0;
    std::fclose(in);
    if (got != textSize) {
        std::fprintf(stderr, "flatten_to_file: cannot read %s\n", argv[1]);
        return 2;
    }
    std::memset(text + textSize, 0, 16);

    // Only the flat image is needed; the other working buffers are the update tool's.
    gDataConcatenated = static_cast<uint8_t*>(allocateBlocks(CONCAT_BUFFER_SIZE + CONCAT_BUFFER_GUARD));
    if (gDataConcatenated == nullptr) {
        std::fprintf(stderr, "flatten_to_file: not enough memory\n");
        return 2;
    }
    std::memset(gDataConcatenated + CONCAT_BUFFER_SIZE, 0, CONCAT_BUFFER_GUARD);
    if (!ValidateFwAndConcatenateData(text)) {
        return 1;
    }

    // A fresh file rather than the old one truncated, as objcopy does it: truncating a file that
    // was just written costs the file system a flush of its blocks, a millisecond on ext4.
    (void)std::remove(argv[2]);
    std::FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "flatten_to_file: cannot write %s\n", argv[2]);
        return 2;
    }
    const auto length = static_cast<std::size_t>(gDataConcatenatedLenght);
    const bool written = std::fwrite(gDataConcatenated, 1, length, out) == length;
    const bool closed = std::fclose(out) == 0;
    releaseBlocks(gDataConcatenated);
    gDataConcatenated = nullptr;
    releaseBlocks(text);
    return written && closed ? 0 : 2;
}
