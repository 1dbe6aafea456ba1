#include "PtyTrace.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

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

bool readTrace(const std::string& path, std::vector<TraceLine>* lines) {
    std::ifstream in(path, std::ios::binary);
    lines->clear();
    double started = 0;
    const std::string clock = kClockNote, goneOut = kGoneOutNote;
    for (std::string line; std::getline(in, line);) {
        // <ms> <R|S|E> <baud> <text>: the text is everything after the third space.
        const std::size_t a = line.find(' '), b = line.find(' ', a + 1), c = line.find(' ', b + 1);
        TraceEntry entry{std::atoll(line.c_str()),
                         b == a + 2 ? line[a + 1] : '?',
                         static_cast<uint32_t>(std::strtoul(line.c_str() + b + 1, nullptr, 10)),
                         {}};
        if (c == std::string::npos || entry.direction == '?' ||
            !unescapeText(line.substr(c + 1), &entry.text)) {
            return false;
        }
        const bool note = entry.direction == 'E';
        started += note && entry.text.compare(0, clock.size(), clock) == 0
                       ? std::atof(entry.text.c_str() + clock.size())
                       : 0;
        const double at = started + static_cast<double>(entry.timeMs) / 1000;
        if (note && entry.text.compare(0, goneOut.size(), goneOut) == 0) {
            const long long sent = std::atoll(entry.text.c_str() + goneOut.size());
            for (TraceLine& earlier : *lines) {
                earlier.out =
                    earlier.entry.direction == 'S' && earlier.entry.timeMs == sent ? at : earlier.out;
            }
        }
        lines->push_back({std::move(entry), at, at});
    }
    return in.eof();
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
