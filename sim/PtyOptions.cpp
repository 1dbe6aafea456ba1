#include "PtyOptions.h"

#include "PtyTrace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace velmora_sim {

namespace {

bool parseInt(const std::string& text, int64_t min, int64_t max, int64_t* value) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) {
        return false;
    }
    *value = parsed;
    return true;
}

const std::map<std::string, ReplyKind>& replyKinds() {
    static const std::map<std::string, ReplyKind> kinds = {
        {"help", ReplyKind::Help},
        {"version", ReplyKind::Version},
        {"identity", ReplyKind::Identity},
        {"ready-logic", ReplyKind::ReadyLogic},
        {"ready-mcu", ReplyKind::ReadyMcu},
        {"success-logic", ReplyKind::SuccessLogic},
        {"success-mcu", ReplyKind::SuccessMcu},
        {"boot", ReplyKind::Boot},
        {"unknown", ReplyKind::Unknown},
    };
    return kinds;
}

// Refuses what cannot work on the chosen line, with the reason.
bool lineAllows(const SimOptions& options, std::string* error) {
    const UnitOptions& unit = options.unit;
    const bool ctsFault = unit.ctsStuckLow || unit.ctsLowUntilMs > 0 || unit.ctsLowAfterBytes >= 0;
    const char* refusal =
        !options.usbCdc && !options.udc.empty()
            ? "--udc names the controller of a USB gadget: it needs --usb-cdc"
        : options.port.empty() ? (options.usbCdc ? "--usb-cdc needs --port: a pty has no USB side" : nullptr)
        : !options.links.empty() ? "--link publishes a pty; --port uses the device as it is"
        : unit.pacing ? "--pacing cannot work on a device: its line carries the bytes at their rate by itself"
        : options.usbCdc && ctsFault
            ? "the CTS faults cannot work with --usb-cdc: a USB CDC port has no CTS line"
        : !options.usbCdc && unit.disconnectAfterBytes >= 0
            ? "--disconnect-after-bytes cannot work on a UART: the unit cannot pull out the tool's adapter "
              "(pull the cable; a USB gadget port can leave the bus with --usb-cdc)"
            : nullptr;
    if (refusal != nullptr) {
        *error = refusal;
    }
    return refusal == nullptr;
}

} // namespace

const char* simUsage() {
    return "Usage: VelmoraUnitSim [options]\n"
           "A simulated Kovlar QV7 unit on a pseudo-terminal or a serial device.\n"
           "\n"
           "  --link PATH                publish a pty under PATH (repeatable), e.g. ports/COM3\n"
           "  --port DEVICE              be the unit on DEVICE (/dev/ttyUSB1, /dev/ttyGS0) instead:\n"
           "                             raw 8N1 at the unit's rate, RTS as the unit's CTS\n"
           "  --usb-cdc                  with --port: a unit with native USB (any rate, no CTS)\n"
           "  --udc NAME                 with --usb-cdc: the gadget's USB device controller in\n"
           "                             /sys/class/udc (the one of g_serial)\n"
           "  --type TX|RX               unit type (TX)\n"
           "  --baud N                   the unit's command rate (9600)\n"
           "  --device-code N            FPGA device code in the version reply (9)\n"
           "  --firmware-version X.Y.Z   firmware version reported (1.0.2)\n"
           "  --model-word WORD          model word reported (QV7TX / QV7RX)\n"
           "  --fpga-version X.Y         FPGA version reported (1.3)\n"
           "  --pacing                   carry bytes at the true line rate, both ways\n"
           "  --reply-delay MS           time from a command's line feed to its reply (20)\n"
           "  --boot-delay MS            time from the last SUCCESS to the boot text (145000)\n"
           "  --trace FILE               write every line and event, escaped, one per line\n"
           "  --images DIR               save received images as DIR/<kind>.bin and DIR/<kind>.txt\n"
           "  --ready-file FILE          write FILE once the links exist\n"
           "  --exit-after-reboot [MS]   quit MS (3000) after the rebooted unit's last byte\n"
           "  --max-run MS               quit after MS whatever happens\n"
           "  --realtime                 keep the unit's time at real-time priority (needs root;\n"
           "                             without it the unit runs as it is and says so in the trace)\n"
           "Faults:\n"
           "  --silent                   never answer\n"
           "  --reply-pieces N           send every reply in N pieces ...\n"
           "  --piece-gap MS             ... with MS of silence between them\n"
           "  --help-without-prompt      help reply without its final \"\\r\\n>>\"\n"
           "  --identity-without-prompt  identity reply without its final \">>\"\n"
           "  --ready-with-line-end      \"Ready\\r\\n\" instead of \"Ready\"\n"
           "  --success-with-line-end    \"SUCCESS\\r\\n\" instead of \"SUCCESS\"\n"
           "  --reject-checksum          answer every upload with \"ERROR: CHECKSUM\"\n"
           "  --no-boot-text             reboot silently\n"
           "  --boot-without-prompt      boot text without its final \">>\"\n"
           "  --ignore-help-queries N    leave the first N help queries unanswered\n"
           "  --version-reply-delay MS   extra delay before the version fields\n"
           "  --version-prompt-delay MS  extra silence before the version reply's prompt\n"
           "  --flood BYTES              answer every command with BYTES bytes of text\n"
           "  --cts-stuck-low            CTS never rises (on a device: RTS low)\n"
           "  --cts-low-until MS         CTS low until MS after start\n"
           "  --cts-low-after-bytes N    CTS drops for good after N received bytes\n"
           "  --disconnect-after-bytes N the unit vanishes after N received bytes (on a device:\n"
           "                             --usb-cdc only, the gadget leaves the bus)\n"
           "  --reply KIND=TEXT          replace a reply byte for byte; TEXT takes \\r \\n \\t \\\\ \\0 "
           "\\xNN;\n"
           "                             KIND: help version identity ready-logic ready-mcu\n"
           "                             success-logic success-mcu boot unknown\n"
           "  --late-reply KIND=MS       send one kind of reply MS later than the others\n";
}

bool parseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error) {
    UnitOptions& unit = options->unit;
    constexpr int64_t kMaxMs = int64_t{1} << 40;

    // Options without a value.
    const std::map<std::string, std::function<void()>> flags = {
        {"--pacing", [&] { unit.pacing = true; }},
        {"--usb-cdc", [&] { options->usbCdc = true; }},
        {"--silent", [&] { unit.silent = true; }},
        {"--help-without-prompt", [&] { unit.helpWithoutPrompt = true; }},
        {"--identity-without-prompt", [&] { unit.identityWithoutPrompt = true; }},
        {"--ready-with-line-end", [&] { unit.readyWithLineEnd = true; }},
        {"--success-with-line-end", [&] { unit.successWithLineEnd = true; }},
        {"--reject-checksum", [&] { unit.rejectChecksum = true; }},
        {"--no-boot-text", [&] { unit.noBootText = true; }},
        {"--boot-without-prompt", [&] { unit.bootWithoutPrompt = true; }},
        {"--cts-stuck-low", [&] { unit.ctsStuckLow = true; }},
        {"--realtime", [&] { options->realtime = true; }},
        {"--help", [&] { options->showHelp = true; }},
    };
    // Options with a number: name -> (min, max, target).
    struct NumberOption {
        int64_t min;
        int64_t max;
        std::function<void(int64_t)> set;
    };
    const std::map<std::string, NumberOption> numbers = {
        {"--baud", {1, 4000000, [&](int64_t v) { unit.baudRate = static_cast<uint32_t>(v); }}},
        {"--device-code", {-1000000, 1000000, [&](int64_t v) { unit.deviceCode = static_cast<int>(v); }}},
        {"--reply-delay", {0, kMaxMs, [&](int64_t v) { unit.replyDelayMs = v; }}},
        {"--boot-delay", {0, kMaxMs, [&](int64_t v) { unit.bootDelayMs = v; }}},
        {"--reply-pieces", {1, 1000000, [&](int64_t v) { unit.replyPieces = static_cast<int>(v); }}},
        {"--piece-gap", {0, kMaxMs, [&](int64_t v) { unit.pieceGapMs = v; }}},
        {"--ignore-help-queries",
         {0, 1000000, [&](int64_t v) { unit.ignoreHelpQueries = static_cast<int>(v); }}},
        {"--version-reply-delay", {0, kMaxMs, [&](int64_t v) { unit.versionReplyDelayMs = v; }}},
        {"--version-prompt-delay", {0, kMaxMs, [&](int64_t v) { unit.versionPromptDelayMs = v; }}},
        {"--flood", {0, int64_t{1} << 32, [&](int64_t v) { unit.floodBytes = static_cast<std::size_t>(v); }}},
        {"--cts-low-until", {0, kMaxMs, [&](int64_t v) { unit.ctsLowUntilMs = v; }}},
        {"--cts-low-after-bytes", {0, int64_t{1} << 40, [&](int64_t v) { unit.ctsLowAfterBytes = v; }}},
        {"--disconnect-after-bytes",
         {0, int64_t{1} << 40, [&](int64_t v) { unit.disconnectAfterBytes = v; }}},
        {"--max-run", {1, kMaxMs, [&](int64_t v) { options->maxRunMs = v; }}},
    };
    // Options with a text.
    const std::map<std::string, std::function<bool(const std::string&)>> texts = {
        {"--link",
         [&](const std::string& v) {
             options->links.push_back(v);
             return !v.empty();
         }},
        {"--port",
         [&](const std::string& v) {
             options->port = v;
             return !v.empty();
         }},
        {"--udc",
         [&](const std::string& v) {
             options->udc = v;
             return !v.empty();
         }},
        {"--trace",
         [&](const std::string& v) {
             options->traceFile = v;
             return !v.empty();
         }},
        {"--images",
         [&](const std::string& v) {
             options->imagesDir = v;
             return !v.empty();
         }},
        {"--ready-file",
         [&](const std::string& v) {
             options->readyFile = v;
             return !v.empty();
         }},
        {"--firmware-version",
         [&](const std::string& v) {
             unit.firmwareVersion = v;
             return true;
         }},
        {"--model-word",
         [&](const std::string& v) {
             unit.modelWord = v;
             return true;
         }},
        {"--fpga-version",
         [&](const std::string& v) {
             unit.fpgaVersion = v;
             return true;
         }},
        {"--type",
         [&](const std::string& v) {
             if (v == "TX" || v == "tx") {
                 unit.kind = UnitKind::TX;
             } else if (v == "RX" || v == "rx") {
                 unit.kind = UnitKind::RX;
             } else {
                 return false;
             }
             return true;
         }},
        {"--reply",
         [&](const std::string& v) {
             const std::size_t equals = v.find('=');
             if (equals == std::string::npos) {
                 return false;
             }
             const auto kind = replyKinds().find(v.substr(0, equals));
             std::string text;
             if (kind == replyKinds().end() || !unescapeText(v.substr(equals + 1), &text)) {
                 return false;
             }
             unit.replyText[kind->second] = text;
             return true;
         }},
        {"--late-reply",
         [&](const std::string& v) {
             const std::size_t equals = v.find('=');
             if (equals == std::string::npos) {
                 return false;
             }
             const auto kind = replyKinds().find(v.substr(0, equals));
             int64_t ms = 0;
             if (kind == replyKinds().end() || !parseInt(v.substr(equals + 1), 0, kMaxMs, &ms)) {
                 return false;
             }
             unit.lateReply[kind->second] = ms;
             return true;
         }},
    };

    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (const auto flag = flags.find(name); flag != flags.end()) {
            flag->second();
            continue;
        }
        if (name == "--exit-after-reboot") {
            options->exitAfterReboot = true;
            int64_t ms = 0;
            if (i + 1 < argc && parseInt(argv[i + 1], 0, kMaxMs, &ms)) {
                options->exitAfterRebootMs = ms;
                ++i;
            }
            continue;
        }
        const auto number = numbers.find(name);
        const auto text = texts.find(name);
        if (number == numbers.end() && text == texts.end()) {
            *error = "unknown option " + name;
            return false;
        }
        if (i + 1 >= argc) {
            *error = "option " + name + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        if (number != numbers.end()) {
            int64_t parsed = 0;
            if (!parseInt(value, number->second.min, number->second.max, &parsed)) {
                *error = "bad value for " + name + ": " + value;
                return false;
            }
            number->second.set(parsed);
        } else if (!text->second(value)) {
            *error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    return lineAllows(*options, error);
}

} // namespace velmora_sim
