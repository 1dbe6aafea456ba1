#include "UnitModel.h"

#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace velmora_sim {

namespace {

const char kHelpVersion[] = "version\n\r   version <no parameters> {Get the current firmware version}";
const char kPrompt[] = "\r\n>>";
const char kTxIdentity[] = "Kovlar QV7 SIGNAL LINK TX WITH ETHERNET";
const char kRxIdentity[] = "Kovlar QV7 SIGNAL LINK RX WITH ETHERNET";
// A line longer than this without a line feed is noise; the unit drops it.
constexpr std::size_t kMaxLine = 1024;

// One level of the waveform of `bytes` in the unit's frame: bit k of the stream is the start bit
// (low) of byte k / 10, its eight data bits (least significant first), or its stop bit (high). The
// line idles high after the last stop bit. Both ends of a line that garbles use this frame: a
// tool's UART is set to 8N1 as the unit's is.
int lineLevel(const std::string& bytes, uint64_t bit) {
    const uint64_t index = bit / kUnitBitsPerCharacter;
    if (index >= bytes.size()) {
        return 1;
    }
    const uint64_t position = bit % kUnitBitsPerCharacter;
    if (position == 0) {
        return 0;
    }
    if (position == kUnitBitsPerCharacter - 1) {
        return 1;
    }
    return (static_cast<unsigned char>(bytes[index]) >> (position - 1)) & 1;
}

// Parses a decimal number that must fill the whole text.
bool parseNumber(const std::string& text, long long& value) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

} // namespace

std::string garble(const std::string& bytes, uint32_t sent, uint32_t heard) {
    if (sent == heard || bytes.empty()) {
        return bytes;
    }
    if (sent == 0 || heard == 0) {
        return std::string();
    }
    // Time runs in units of 1 / (sent * heard) s, so that a sent bit lasts `heard` units and a
    // bit of the receiver lasts `sent` units, both whole numbers. The receiver behaves like a
    // UART: it waits for the line to be high, takes the next falling edge as a start bit,
    // samples the middle of each of the following eight bits, and then looks at the stop bit.
    const uint64_t sentBit = heard;
    const uint64_t heardBit = sent;
    const uint64_t streamBits = static_cast<uint64_t>(bytes.size()) * kUnitBitsPerCharacter;
    const uint64_t streamEnd = streamBits * sentBit;
    auto levelAt = [&](uint64_t time) { return lineLevel(bytes, time / sentBit); };
    // First moment at or after `from` at which the line shows `level`, or streamEnd when it
    // never does (after the stream the line is high).
    auto nextLevel = [&](uint64_t from, int level) -> uint64_t {
        for (uint64_t bit = from / sentBit; bit < streamBits; ++bit) {
            if (lineLevel(bytes, bit) == level) {
                return std::max(from, bit * sentBit);
            }
        }
        return level == 1 ? std::max(from, streamEnd) : streamEnd;
    };

    std::string out;
    uint64_t time = 0;
    while (time < streamEnd) {
        const uint64_t high = nextLevel(time, 1);
        const uint64_t edge = nextLevel(high, 0);
        if (edge >= streamEnd) {
            break;
        }
        const uint64_t startMiddle = edge + heardBit / 2;
        if (levelAt(startMiddle) != 0) {
            time = startMiddle; // a glitch, not a start bit
            continue;
        }
        unsigned value = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            value |= static_cast<unsigned>(levelAt(startMiddle + (bit + 1) * heardBit)) << bit;
        }
        // A low stop bit is a framing error; the byte is delivered all the same, as the
        // tool's line settings (no error replacement) ask of the driver.
        out.push_back(static_cast<char>(value));
        time = startMiddle + 9 * heardBit;
    }
    return out;
}

UnitModel::UnitModel(UnitOptions options) : options_(std::move(options)), baud_(options_.baudRate) {}

void UnitModel::event(int64_t timeMs, const std::string& text) {
    trace_.push_back({timeMs, 'E', baud_, text});
}

bool UnitModel::connected() const {
    return options_.disconnectAfterBytes < 0 || bytesReceived_ < options_.disconnectAfterBytes;
}

int64_t UnitModel::bytesUntilLineChange() const {
    int64_t until = kNever;
    if (options_.ctsLowAfterBytes >= 0 && bytesReceived_ < options_.ctsLowAfterBytes) {
        until = std::min(until, options_.ctsLowAfterBytes - bytesReceived_);
    }
    if (options_.disconnectAfterBytes >= 0 && bytesReceived_ < options_.disconnectAfterBytes) {
        until = std::min(until, options_.disconnectAfterBytes - bytesReceived_);
    }
    return until;
}

bool UnitModel::ctsRaised(int64_t timeMs) const {
    if (!connected() || options_.ctsStuckLow || timeMs < options_.ctsLowUntilMs) {
        return false;
    }
    return options_.ctsLowAfterBytes < 0 || bytesReceived_ < options_.ctsLowAfterBytes;
}

uint32_t UnitModel::listeningBaud() const {
    return baud_;
}
const std::vector<TraceEntry>& UnitModel::trace() const {
    return trace_;
}
const std::vector<ReceivedImage>& UnitModel::images() const {
    return images_;
}

int64_t UnitModel::nextTransmitTime() const {
    return outgoing_.empty() ? kNever : outgoing_.front().timeMs;
}

std::vector<Chunk> UnitModel::takeTransmitted(int64_t timeMs) {
    std::vector<Chunk> due;
    while (!outgoing_.empty() && outgoing_.front().timeMs <= timeMs) {
        due.push_back(std::move(outgoing_.front()));
        outgoing_.pop_front();
    }
    return due;
}

int64_t UnitModel::send(const std::string& text, int64_t timeMs, uint32_t baud) {
    if (options_.silent || text.empty()) {
        return std::max(timeMs, lineFreeAtMs_);
    }
    const std::size_t pieces = static_cast<std::size_t>(std::max(1, options_.replyPieces));
    const std::size_t pieceSize = (text.size() + pieces - 1) / pieces;
    int64_t at = timeMs;
    for (std::size_t offset = 0; offset < text.size(); offset += pieceSize) {
        Chunk chunk{std::max(at, lineFreeAtMs_), baud, text.substr(offset, pieceSize)};
        lineFreeAtMs_ = chunk.timeMs + static_cast<int64_t>(Platform_SerialLineTimeMs(
                                           chunk.bytes.size(), baud, kUnitBitsPerCharacter, true));
        at = lineFreeAtMs_ + options_.pieceGapMs;
        // A flood is traced by its size, not byte for byte.
        trace_.push_back(
            {chunk.timeMs, 'S', baud,
             chunk.bytes.size() > 4096 ? "<" + std::to_string(chunk.bytes.size()) + " bytes>" : chunk.bytes});
        outgoing_.push_back(std::move(chunk));
    }
    return lineFreeAtMs_;
}

std::string UnitModel::replyFor(ReplyKind kind, const std::string& normal) const {
    const auto found = options_.replyText.find(kind);
    return found == options_.replyText.end() ? normal : found->second;
}

int64_t UnitModel::lateBy(ReplyKind kind) const {
    const auto found = options_.lateReply.find(kind);
    return found == options_.lateReply.end() ? 0 : found->second;
}

void UnitModel::receive(const uint8_t* data, std::size_t size, int64_t timeMs, uint32_t toolBaud) {
    if (!connected()) {
        return;
    }
    // Bytes beyond the moment the unit vanishes never reach it.
    if (options_.disconnectAfterBytes >= 0) {
        size = static_cast<std::size_t>(
            std::min<int64_t>(static_cast<int64_t>(size), options_.disconnectAfterBytes - bytesReceived_));
    }
    bytesReceived_ += static_cast<int64_t>(size);
    if (mode_ == Mode::Rebooting && timeMs >= rebootDoneAtMs_) {
        mode_ = Mode::Command;
    }

    std::size_t pos = 0;
    while (pos < size) {
        if (mode_ == Mode::Rebooting) {
            return; // a rebooting unit does not listen
        }
        if (mode_ == Mode::Upload && lineJustEnded_) {
            // The carriage return that closes the announcement line still belongs to it (it was
            // sent at the command rate, before the tool switched); it is not image data.
            lineJustEnded_ = false;
            if (uploadBytes_.empty() && data[pos] == '\r') {
                trace_[lastLineTrace_].text.push_back('\r');
                ++pos;
                continue;
            }
        }
        if (toolBaud != baud_) {
            // Sent at another rate: the UART sees framing errors and garbage. In command mode the
            // unit drops the partial line; an upload in progress takes the garbage as data.
            const std::string noise =
                garble(std::string(reinterpret_cast<const char*>(data) + pos, size - pos), toolBaud, baud_);
            if (mode_ == Mode::Upload) {
                for (std::size_t i = 0; i < noise.size() && mode_ == Mode::Upload; ++i) {
                    uploadBytes_.push_back(noise[i]);
                    if (uploadBytes_.size() == static_cast<std::size_t>(uploadLength_)) {
                        finishUpload(timeMs);
                    }
                }
            } else if (!line_.empty() || !noise.empty()) {
                line_.clear();
                lineJustEnded_ = false;
                event(timeMs, "noise at " + std::to_string(toolBaud) + " baud dropped");
            }
            return;
        }
        const char c = static_cast<char>(data[pos++]);
        if (mode_ == Mode::Upload) {
            uploadBytes_.push_back(c);
            if (uploadBytes_.size() == static_cast<std::size_t>(uploadLength_)) {
                finishUpload(timeMs);
            }
        } else {
            feedCommandByte(c, timeMs, toolBaud);
        }
    }
}

void UnitModel::feedCommandByte(char c, int64_t timeMs, uint32_t heardBaud) {
    if (lineJustEnded_) {
        lineJustEnded_ = false;
        if (c == '\r') {
            trace_[lastLineTrace_].text.push_back('\r');
            return;
        }
    }
    if (c == '\n') {
        lastLineTrace_ = trace_.size();
        trace_.push_back({timeMs, 'R', heardBaud, line_ + "\n"});
        lineJustEnded_ = true;
        const std::string line = std::move(line_);
        line_.clear();
        handleLine(line, timeMs, heardBaud);
        return;
    }
    line_.push_back(c);
    if (line_.size() > kMaxLine) {
        line_.clear();
        event(timeMs, "overlong line dropped");
    }
}

void UnitModel::handleLine(const std::string& line, int64_t timeMs, uint32_t heardBaud) {
    if (line.empty() || line[0] != '%') {
        return;
    }
    const int64_t replyAt = timeMs + options_.replyDelayMs;
    if (options_.floodBytes > 0) {
        const std::string pattern = "FLOOD 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
        std::string flood;
        flood.reserve(options_.floodBytes);
        while (flood.size() < options_.floodBytes) {
            flood.append(pattern, 0, std::min(pattern.size(), options_.floodBytes - flood.size()));
        }
        send(flood, replyAt, heardBaud);
        return;
    }
    // The first two "%" frame the line; the command itself starts with the third.
    const std::string command = line.compare(0, 3, "%%%") == 0 ? line.substr(2) : std::string();
    if (command == "%help -c version") {
        ++helpQueriesHeard_;
        if (helpQueriesHeard_ <= options_.ignoreHelpQueries) {
            event(timeMs, "help query ignored");
            return;
        }
        const std::string normal = std::string(kHelpVersion) + (options_.helpWithoutPrompt ? "" : kPrompt);
        send(replyFor(ReplyKind::Help, normal), replyAt + lateBy(ReplyKind::Help), baud_);
    } else if (command == "%fw -v") {
        const std::string model = !options_.modelWord.empty()     ? options_.modelWord
                                  : options_.kind == UnitKind::TX ? "QV7TX"
                                                                  : "QV7RX";
        const std::string fields = options_.firmwareVersion + "\r\n" + model + " " + options_.fpgaVersion +
                                   " " + std::to_string(options_.deviceCode);
        const int64_t fieldsAt = replyAt + options_.versionReplyDelayMs + lateBy(ReplyKind::Version);
        const auto custom = options_.replyText.find(ReplyKind::Version);
        if (custom != options_.replyText.end()) {
            send(custom->second, fieldsAt, baud_);
        } else if (options_.versionPromptDelayMs > 0) {
            const int64_t fieldsEnd = send(fields, fieldsAt, baud_);
            send(kPrompt, fieldsEnd + options_.versionPromptDelayMs, baud_);
        } else {
            send(fields + kPrompt, fieldsAt, baud_);
        }
    } else if (command == "%fw -p") {
        const std::string identity = options_.kind == UnitKind::TX ? kTxIdentity : kRxIdentity;
        send(replyFor(ReplyKind::Identity, identity + (options_.identityWithoutPrompt ? "\r\n" : kPrompt)),
             replyAt + lateBy(ReplyKind::Identity), baud_);
    } else if (command.compare(0, 7, "%fw -l ") == 0 || command.compare(0, 7, "%fw -h ") == 0) {
        handleUploadAnnouncement(command[5], command.substr(7), replyAt);
    } else {
        send(replyFor(ReplyKind::Unknown, std::string("ERROR: Unknown command") + kPrompt), replyAt, baud_);
    }
}

void UnitModel::handleUploadAnnouncement(char kind, const std::string& arguments, int64_t replyAt) {
    const std::size_t space = arguments.find(' ');
    long long checksum = 0;
    long long length = 0;
    if (space == std::string::npos || !parseNumber(arguments.substr(0, space), checksum) ||
        !parseNumber(arguments.substr(space + 1), length) || checksum < 0 || checksum > 0xFFFFFFFFLL ||
        length < 0 || length > 0x7FFFFFFFLL) {
        send(std::string("ERROR: Bad arguments") + kPrompt, replyAt, baud_);
        return;
    }
    const ReplyKind readyKind = kind == 'l' ? ReplyKind::ReadyLogic : ReplyKind::ReadyMcu;
    const int64_t readyEnd = send(replyFor(readyKind, options_.readyWithLineEnd ? "Ready\r\n" : "Ready"),
                                  replyAt + lateBy(readyKind), baud_);
    uploadKind_ = kind;
    uploadChecksum_ = static_cast<uint32_t>(checksum);
    uploadLength_ = static_cast<int32_t>(length);
    uploadBytes_.clear();
    mode_ = Mode::Upload;
    baud_ = kUploadBaud;
    event(replyAt, std::string("upload ") + kind + " announced: " + std::to_string(length) +
                       " bytes, listening at " + std::to_string(kUploadBaud));
    if (uploadLength_ == 0) {
        finishUpload(readyEnd);
    }
}

void UnitModel::finishUpload(int64_t timeMs) {
    uint32_t sum = 0;
    for (const char c : uploadBytes_) {
        sum -= static_cast<unsigned char>(c);
    }
    const bool ok = sum == uploadChecksum_ && !options_.rejectChecksum;
    images_.push_back({uploadKind_, uploadChecksum_, uploadLength_, std::move(uploadBytes_), ok});
    uploadBytes_.clear();
    event(timeMs, std::string("image ") + uploadKind_ + " received: " + std::to_string(uploadLength_) +
                      (ok ? " bytes, checksum ok" : " bytes, checksum wrong"));
    mode_ = Mode::Command;
    const int64_t replyAt = timeMs + options_.replyDelayMs;
    if (!ok) {
        send("ERROR: CHECKSUM", replyAt, baud_);
        return;
    }
    const ReplyKind successKind = uploadKind_ == 'l' ? ReplyKind::SuccessLogic : ReplyKind::SuccessMcu;
    const int64_t successEnd =
        send(replyFor(successKind, options_.successWithLineEnd ? "SUCCESS\r\n" : "SUCCESS"),
             replyAt + lateBy(successKind), baud_);
    if (uploadKind_ != 'h') {
        return; // after the logic upload the unit stays at 115200 for the next announcement
    }
    mode_ = Mode::Rebooting;
    baud_ = options_.baudRate;
    event(successEnd, "reboot, back to " + std::to_string(baud_) + " baud");
    const int64_t bootAt = successEnd + options_.bootDelayMs;
    rebootDoneAtMs_ = bootAt;
    if (!options_.noBootText) {
        const std::string identity = options_.kind == UnitKind::TX ? kTxIdentity : kRxIdentity;
        const std::string boot = "[    0.000] " + identity + "\r\n[    0.412] Firmware " +
                                 options_.firmwareVersion + " started\r\n" +
                                 (options_.bootWithoutPrompt ? "" : ">>");
        rebootDoneAtMs_ = send(replyFor(ReplyKind::Boot, boot), bootAt, baud_);
    }
}

} // namespace velmora_sim
