#include "PtyTrace.h"

#include <algorithm>
#include <cstdlib>

namespace velmora_sim {

std::string escapeText(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (byte >= 0x20 && byte < 0x7F) {
                out.push_back(c);
            } else {
                out += "\\x";
                out.push_back(kHex[byte >> 4]);
                out.push_back(kHex[byte & 0x0F]);
            }
        }
    }
    return out;
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

bool unescapeText(const std::string& escaped, std::string* text) {
    text->clear();
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c != '\\') {
            text->push_back(c);
            continue;
        }
        if (++i == escaped.size()) {
            return false;
        }
        switch (escaped[i]) {
        case 'r':
            text->push_back('\r');
            break;
        case 'n':
            text->push_back('\n');
            break;
        case 't':
            text->push_back('\t');
            break;
        case '0':
            text->push_back('\0');
            break;
        case '\\':
            text->push_back('\\');
            break;
        case 'x': {
            const int high = i + 2 < escaped.size() ? hexValue(escaped[i + 1]) : -1;
            const int low = i + 2 < escaped.size() ? hexValue(escaped[i + 2]) : -1;
            if (high < 0 || low < 0) {
                return false;
            }
            text->push_back(static_cast<char>(high * 16 + low));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

TraceFile::~TraceFile() {
    finish(kNever);
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool TraceFile::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void TraceFile::add(const TraceEntry& entry) {
    if (file_ != nullptr) {
        pending_.push_back(entry);
    }
}

void TraceFile::writeDue(int64_t nowMs) {
    if (pending_.empty()) {
        return;
    }
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const TraceEntry& a, const TraceEntry& b) { return a.timeMs < b.timeMs; });
    std::size_t done = 0;
    while (done < pending_.size() && pending_[done].timeMs <= nowMs) {
        write(pending_[done]);
        ++done;
    }
    if (done > 0) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
        std::fflush(file_);
    }
}

void TraceFile::finish(int64_t endMs) {
    writeDue(endMs);
    pending_.clear();
}

void TraceFile::write(const TraceEntry& entry) {
    std::fprintf(file_, "%lld %c %u %s\n", static_cast<long long>(entry.timeMs), entry.direction,
                 static_cast<unsigned>(entry.baud), escapeText(entry.text).c_str());
}

} // namespace velmora_sim
