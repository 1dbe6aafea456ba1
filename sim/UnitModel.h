// The simulated Kovlar QV7 unit: one model of the unit's command interface, shared by the
// virtual platform of the unit tests and by the pty simulator program.
//
// The model is driven by its caller's clock (milliseconds, int64). It never sleeps and never
// touches the operating system: the caller hands it the bytes the tool sent, with the time they
// finished arriving and the rate they were sent at, and collects what the unit transmits, each
// chunk stamped with the time it starts on the line and the rate it is sent at.
//
// The unit's command interface:
//   - Every line from the tool is "%%" + command + "\n\r". The unit acts on the line feed; a
//     carriage return right after it belongs to the same line. Lines that do not begin with "%"
//     (noise heard at a wrong rate, for instance) are dropped without an answer.
//   - "%help -c version"  -> "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"
//   - "%fw -v"            -> "<fw x.y.z>\r\n<model> <fpga x.y> <device code>\r\n>>"
//   - "%fw -p"            -> the TX or RX identity string, prompt included
//   - "%fw -l <sum> <len>" and "%fw -h <sum> <len>" -> "Ready" at the current rate; then the
//     unit listens at 115200, takes exactly <len> raw bytes, checks that 0 minus their byte sum
//     (mod 2^32) equals <sum>, and answers "SUCCESS" or "ERROR: CHECKSUM" at 115200. After the
//     logic upload it stays at 115200. After the microcontroller upload it reboots: it returns to
//     its own rate, ignores the line, and prints its boot text (starting with "[" and ending with
//     ">>") bootDelayMs after the end of "SUCCESS".
//   - Any other line starting with "%" -> "ERROR: Unknown command\r\n>>".
#ifndef VELMORA_SIM_UNIT_MODEL_H
#define VELMORA_SIM_UNIT_MODEL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace velmora_sim {

enum class UnitKind { TX, RX };

// The replies whose text a test may replace byte for byte (UnitOptions::replyText).
enum class ReplyKind {
    Help,
    Version,
    Identity,
    ReadyLogic,
    ReadyMcu,
    SuccessLogic,
    SuccessMcu,
    Boot,
    Unknown
};

constexpr uint32_t kUploadBaud = 115200;
// The unit's UART frame, 8N1: a start bit, eight data bits, no parity, one stop bit.
constexpr unsigned kUnitBitsPerCharacter = 10;
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

struct UnitOptions {
    UnitKind kind = UnitKind::TX;
    uint32_t baudRate = 9600; // the unit's own command rate (it talks 115200 only for uploads)
    int deviceCode = 9;       // FPGA device code in the version reply
    bool pacing = false;      // pty front end only: deliver bytes at the true line rate

    // What the version reply reports. An empty model word means "QV7TX" or "QV7RX" by kind.
    std::string firmwareVersion = "1.0.2";
    std::string modelWord;
    std::string fpgaVersion = "1.3";

    // Time from the line feed of a command to the first byte of its reply.
    int64_t replyDelayMs = 20;
    // Time from the end of the microcontroller upload's "SUCCESS" to the first byte of the boot text.
    int64_t bootDelayMs = 145000;

    // ---- Faults (all off by default) ----
    bool silent = false;                // the unit never transmits anything
    int replyPieces = 1;                // every reply goes out in this many pieces ...
    int64_t pieceGapMs = 0;             // ... with this much silence between two pieces
    bool helpWithoutPrompt = false;     // help reply lacks its final "\r\n>>"
    bool identityWithoutPrompt = false; // identity reply lacks its final ">>"
    bool readyWithLineEnd = false;      // "Ready\r\n" instead of "Ready"
    bool successWithLineEnd = false;    // "SUCCESS\r\n" instead of "SUCCESS"
    bool rejectChecksum = false;        // answers "ERROR: CHECKSUM" even to a correct image
    bool noBootText = false;            // reboots silently
    bool bootWithoutPrompt = false;     // boot text lacks its final ">>"
    int ignoreHelpQueries = 0;          // the first N help queries heard go unanswered
    int64_t versionReplyDelayMs = 0;    // extra delay before the version fields
    int64_t versionPromptDelayMs = 0;   // extra silence between the version fields and their "\r\n>>"
    std::size_t floodBytes = 0;         // when non-zero, every command is answered by this many bytes of text
    bool ctsStuckLow = false;           // CTS never rises
    int64_t ctsLowUntilMs = 0;          // CTS held low until this time, then raised
    int64_t ctsLowAfterBytes = -1;      // CTS drops for good once this many bytes were received (-1: never)
    int64_t disconnectAfterBytes = -1;  // the unit vanishes once this many bytes were received (-1: never)
    // Replaces the text of a reply byte for byte (zero bytes allowed). Applied after the
    // named faults above, so it wins over them.
    std::map<ReplyKind, std::string> replyText;
    // Extra delay before the first byte of one kind of reply, on top of replyDelayMs: a reply
    // late by more than the tool's read time-out at one step of the update and on time elsewhere.
    std::map<ReplyKind, int64_t> lateReply;
};

struct Chunk {
    int64_t timeMs;
    uint32_t baud;
    std::string bytes;
}; // bytes the unit starts sending at timeMs at rate baud
struct TraceEntry {
    int64_t timeMs;
    char direction; /* 'R' received line, 'S' sent text, 'E' event */
    uint32_t baud;
    std::string text;
};
struct ReceivedImage {
    char kind; /* 'l' programmable logic, 'h' microcontroller */
    uint32_t announcedChecksum;
    int32_t announcedLength;
    std::string bytes;
    bool checksumOk;
};

class UnitModel {
  public:
    explicit UnitModel(UnitOptions options);

    // Bytes from the tool that finished arriving at timeMs, sent at the tool's line rate toolBaud. Bytes sent
    // at a rate other than the one the unit listens at arrive as garbage, as on a real UART.
    void receive(const uint8_t* data, std::size_t size, int64_t timeMs, uint32_t toolBaud);
    // Earliest time at which the unit has bytes to transmit, or INT64_MAX.
    int64_t nextTransmitTime() const;
    // Removes and returns everything the unit transmits at or before timeMs, in order.
    std::vector<Chunk> takeTransmitted(int64_t timeMs);
    uint32_t listeningBaud() const;       // rate the unit currently listens/talks at
    bool ctsRaised(int64_t timeMs) const; // the unit's CTS output
    const std::vector<TraceEntry>& trace() const;
    const std::vector<ReceivedImage>& images() const;

    // False once the unit has vanished from the line (disconnectAfterBytes).
    bool connected() const;
    // How many more bytes the unit takes before it drops CTS or vanishes (kNever when it will
    // not). A front end splits a write there, so that the change happens at the right byte.
    int64_t bytesUntilLineChange() const;
    // All bytes handed to receive() so far, before any garbling.
    int64_t bytesReceived() const { return bytesReceived_; }
    // Trace entries before this one are final; the last line heard may still take the CR that
    // follows its line feed.
    std::size_t settledTrace() const { return lineJustEnded_ ? lastLineTrace_ : trace_.size(); }
    const UnitOptions& options() const { return options_; }

  private:
    enum class Mode { Command, Upload, Rebooting };

    void feedCommandByte(char c, int64_t timeMs, uint32_t heardBaud);
    void handleLine(const std::string& line, int64_t timeMs, uint32_t heardBaud);
    void handleUploadAnnouncement(char kind, const std::string& arguments, int64_t timeMs);
    void finishUpload(int64_t timeMs);
    std::string replyFor(ReplyKind kind, const std::string& normal) const;
    int64_t lateBy(ReplyKind kind) const;
    // Queues text to go out no earlier than timeMs at the current rate, split per replyPieces.
    // Returns the time the last byte has left the line.
    int64_t send(const std::string& text, int64_t timeMs, uint32_t baud);
    void event(int64_t timeMs, const std::string& text);

    UnitOptions options_;
    Mode mode_ = Mode::Command;
    uint32_t baud_;
    std::string line_;
    bool lineJustEnded_ = false;    // a CR right after the line feed still belongs to the line
    std::size_t lastLineTrace_ = 0; // trace entry of the last line received
    int helpQueriesHeard_ = 0;
    int64_t bytesReceived_ = 0;
    int64_t lineFreeAtMs_ = 0;   // the unit's transmitter is busy until then
    int64_t rebootDoneAtMs_ = 0; // a rebooting unit listens again from then on

    // The upload in progress.
    char uploadKind_ = 0;
    uint32_t uploadChecksum_ = 0;
    int32_t uploadLength_ = 0;
    std::string uploadBytes_;

    std::deque<Chunk> outgoing_;
    std::vector<TraceEntry> trace_;
    std::vector<ReceivedImage> images_;
};

// Turns bytes sent at rate `sent` into what a receiver listening at `heard` gets (identity when equal).
std::string garble(const std::string& bytes, uint32_t sent, uint32_t heard);

} // namespace velmora_sim

#endif
