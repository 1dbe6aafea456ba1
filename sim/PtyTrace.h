// The simulator's trace file: one line per line received, text sent and event, in time order.
//
//   <ms since start> <R|S|E> <baud> <text>
//
// R is a line the unit received (byte for byte, line feed and carriage return included), S a
// text the unit sent, E an event of the unit or of the pty front end. The text is escaped so
// that it is byte-exact and every control byte is visible: \r \n \t \\ and \xNN (always two
// hex digits) for every other byte outside printable ASCII. Percent signs stay as they are.
//
// Besides the model's lines the front end notes when it started, on the machine's monotonic
// clock (so a reader can put the trace beside other records of the same run), and when the last
// byte of each text the unit sent was taken by the line: the S entry gives the time the unit
// began to send, which is not when the bytes left if the program was held up. Every S entry is
// followed by one such note, or, when the program ends or the unit vanishes before the line has
// taken the whole text, by a note that the text was cut off. The trace ends with the program:
// what the unit would have done later (a reply still due) is not in it.
#ifndef VELMORA_SIM_PTY_TRACE_H
#define VELMORA_SIM_PTY_TRACE_H

#include "UnitModel.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace velmora_sim {

std::string escapeText(const std::string& bytes);
// Undoes escapeText (and reads \0 as a zero byte, for texts typed on a command line). False for
// a dangling or unknown escape.
bool unescapeText(const std::string& escaped, std::string* text);

// The front end's notes: "clock: started at monotonic <s> s" at time 0, "gone out: the text sent
// at <ms> ms" when the last byte of the S entry of <ms> left, and "cut off: the text sent at <ms>
// ms" at the end for a text that did not leave whole.
inline constexpr char kClockNote[] = "clock: started at monotonic ";
inline constexpr char kGoneOutNote[] = "gone out: the text sent at ";
inline constexpr char kCutOffNote[] = "cut off: the text sent at ";

class TraceFile {
  public:
    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    bool open(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    // Entries may come in ahead of their time (a reply queued for later); they are written once
    // their time has come, so the file reads in the order things happened on the line.
    void add(const TraceEntry& entry);
    void writeDue(int64_t nowMs);
    // The program ends at endMs: writes what is due and drops the entries stamped later.
    void finish(int64_t endMs);

  private:
    void write(const TraceEntry& entry);

    std::FILE* file_ = nullptr;
    std::vector<TraceEntry> pending_;
};

} // namespace velmora_sim

#endif
