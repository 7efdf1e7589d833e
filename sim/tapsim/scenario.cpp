// Scenario parser: one directive a line, '#' comments, quoted texts with C
// escapes, receiver paths that may not leave the disk, and times that never
// go backwards. Every fault is reported with its file and line.
#include "sim/tapsim/scenario.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <utility>

namespace tapsim {
namespace {

constexpr size_t kMaxScenarioSize = 16u * 1024 * 1024;
constexpr long long kMaxHours = 9999;  // 9999 hours of ticks still fit in 32 bits

struct Token {
  std::string text;
  bool quoted = false;
  size_t begin = 0;  // offsets in the line, for the time line's echo
  size_t end = 0;
};

// A parse fault: the message, thrown to the line loop that adds FILE:LINE.
struct Fault {
  std::string message;
};

[[noreturn]] void Fail(std::string message) {
  throw Fault{std::move(message)};
}

std::string Clock(uint32_t ticks);

std::string Shown(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<Token> Tokenize(const std::string& line) {
  std::vector<Token> tokens;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
      ++i;
      continue;
    }
    if (c == '#') break;
    Token t;
    t.begin = i;
    if (c == '"') {
      t.quoted = true;
      ++i;
      bool closed = false;
      while (i < n) {
        char q = line[i];
        if (q == '"') {
          closed = true;
          ++i;
          break;
        }
        if (q != '\\') {
          t.text += q;
          ++i;
          continue;
        }
        if (i + 1 >= n) break;
        char e = line[i + 1];
        i += 2;
        switch (e) {
          case 'r':
            t.text += '\r';
            break;
          case 'n':
            t.text += '\n';
            break;
          case 't':
            t.text += '\t';
            break;
          case '"':
            t.text += '"';
            break;
          case '\\':
            t.text += '\\';
            break;
          case 'x': {
            int hi = i < n ? HexDigit(line[i]) : -1;
            int lo = i + 1 < n ? HexDigit(line[i + 1]) : -1;
            if (hi < 0 || lo < 0)
              Fail("bad escape in quoted text (expected \\x and two hex digits)");
            t.text += char(hi * 16 + lo);
            i += 2;
            break;
          }
          default:
            Fail(std::string("unknown escape '\\") + Shown(std::string(1, e)) +
                 "' in quoted text (expected \\r \\n \\t \\\" \\\\ or \\xNN)");
        }
      }
      if (!closed) Fail("unterminated quote (expected a closing \")");
      if (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#')
        Fail("text runs on after a closing quote (expected a space)");
    } else {
      while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#') {
        if (line[i] == '"') Fail("stray quote inside a word (a quoted text must stand alone)");
        t.text += line[i++];
      }
    }
    t.end = i;
    tokens.push_back(std::move(t));
  }
  return tokens;
}

class Cursor {
 public:
  Cursor(const std::vector<Token>& tokens, size_t pos) : tokens_(tokens), pos_(pos) {}
  bool AtEnd() const { return pos_ >= tokens_.size(); }
  const Token& Next(const char* what) {
    if (AtEnd()) Fail(std::string("missing ") + what);
    return tokens_[pos_++];
  }
  const Token* Peek() const { return AtEnd() ? nullptr : &tokens_[pos_]; }
  void Skip() { ++pos_; }
  std::string Word(const char* what) {
    const Token& t = Next(what);
    if (t.quoted) Fail(std::string("expected ") + what + ", not a quoted text");
    return t.text;
  }
  void End() {
    if (!AtEnd()) Fail("unexpected '" + Shown(tokens_[pos_].text) + "' at the end of the line");
  }

 private:
  const std::vector<Token>& tokens_;
  size_t pos_;
};

long long Number(const std::string& s, long long min, long long max, const char* what) {
  const char* p = s.c_str();
  bool neg = false;
  if (*p == '-' && min < 0) {
    neg = true;
    ++p;
  }
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  unsigned long long v = 0;
  bool ok = *p != 0 && strlen(p) <= 16;
  for (; ok && *p; ++p) {
    int d = base == 16 ? HexDigit(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1);
    if (d < 0)
      ok = false;
    else
      v = v * unsigned(base) + unsigned(d);
  }
  long long value = ok && v <= (1ull << 62) ? (neg ? -(long long)v : (long long)v) : 0;
  if (!ok || v > (1ull << 62) || value < min || value > max) {
    char buf[160];
    snprintf(buf, sizeof buf, "bad number '%s' for %s (expected %lld to %lld)", Shown(s).c_str(),
             what, min, max);
    Fail(buf);
  }
  return value;
}

long long NumberToken(Cursor& c, long long min, long long max, const char* what) {
  return Number(c.Word(what), min, max, what);
}

// Digits only, exactly `len` of them (len 0: one or more).
bool Digits(const std::string& s, size_t from, size_t to, long long& v) {
  if (from >= to || to > s.size()) return false;
  v = 0;
  for (size_t i = from; i < to; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > 1000000) return false;
  }
  return true;
}

uint32_t ParseTime(const std::string& s) {
  // H:MM:SS
  size_t c1 = s.find(':');
  size_t c2 = c1 == std::string::npos ? c1 : s.find(':', c1 + 1);
  long long h, m, sec;
  bool ok = c1 != std::string::npos && c2 != std::string::npos && c2 == c1 + 3 &&
            s.size() == c2 + 3 && c1 >= 1 && c1 <= 4 && Digits(s, 0, c1, h) &&
            Digits(s, c1 + 1, c2, m) && Digits(s, c2 + 1, s.size(), sec) && m < 60 && sec < 60 &&
            h <= kMaxHours;
  if (!ok) Fail("bad time '" + Shown(s) + "' (expected H:MM:SS after the start, e.g. 0:10:00)");
  return uint32_t((h * 3600 + m * 60 + sec) * 100);
}

bool LeapYear(long long y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

void ParseDateTime(Cursor& c, long long* out) {
  std::string date = c.Word("date (YYYY-MM-DD)");
  long long y, mo, d;
  bool ok = date.size() == 10 && date[4] == '-' && date[7] == '-' && Digits(date, 0, 4, y) &&
            Digits(date, 5, 7, mo) && Digits(date, 8, 10, d) && mo >= 1 && mo <= 12 && d >= 1;
  if (ok) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    long long maxDay = kDays[mo - 1] + (mo == 2 && LeapYear(y) ? 1 : 0);
    ok = d <= maxDay;
  }
  if (!ok) Fail("bad date '" + Shown(date) + "' (expected YYYY-MM-DD, e.g. 2026-12-08)");
  if (y < 1900 || y > 2037)
    Fail("date '" + date + "' is outside the receiver's calendar (expected a year 1900 to 2037)");
  std::string time = c.Word("time of day (HH:MM:SS)");
  long long h, mi, s;
  ok = time.size() == 8 && time[2] == ':' && time[5] == ':' && Digits(time, 0, 2, h) &&
       Digits(time, 3, 5, mi) && Digits(time, 6, 8, s) && h < 24 && mi < 60 && s < 60;
  if (!ok) Fail("bad time of day '" + Shown(time) + "' (expected HH:MM:SS, e.g. 20:00:00)");
  out[0] = y;
  out[1] = mo;
  out[2] = d;
  out[3] = h;
  out[4] = mi;
  out[5] = s;
}

void NoZeroByte(const std::string& s, const char* what) {
  if (s.find('\0') != std::string::npos) Fail(std::string(what) + " holds a zero byte");
}

// A receiver path, made absolute-normal: "." and empty parts dropped, ".."
// taking back one part; a ".." above "/" leaves the disk and is refused.
std::string ReceiverPath(Cursor& c, const char* what) {
  const Token& t = c.Next(what);
  const std::string& p = t.text;
  NoZeroByte(p, what);
  if (p.empty() || p[0] != '/')
    Fail(std::string(what) + " '" + Shown(p) +
         "' must start with / (a path on the receiver's disk)");
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string part = p.substr(i, j - i);
    if (part == "..") {
      if (parts.empty())
        Fail(std::string(what) + " '" + Shown(p) + "' leaves the disk (\"..\" above \"/\")");
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

// A plain file name: no folder part, nothing that could leave its folder.
std::string FileName(Cursor& c, const char* what) {
  const Token& t = c.Next(what);
  NoZeroByte(t.text, what);
  if (t.text.empty() || t.text == "." || t.text == ".." || t.text.find('/') != std::string::npos)
    Fail(std::string(what) + " '" + Shown(t.text) + "' must be a plain file name (no /)");
  return t.text;
}

std::string Text(Cursor& c, const char* what, bool allowEmpty) {
  const Token& t = c.Next(what);
  NoZeroByte(t.text, what);
  if (!allowEmpty && t.text.empty()) Fail(std::string(what) + " is empty");
  return t.text;
}

void ExpectWord(Cursor& c, const char* word) {
  std::string w = c.Word(word);
  if (w != word) Fail("expected '" + std::string(word) + "', not '" + Shown(w) + "'");
}

const char* const kSettings =
    "clock, language, sysvar, state, slots, model, terminal, idle, dir, nodir, recording, write, "
    "firmwaredat, fail, power, boot, channel, event, tune";
const char* const kActions =
    "timeshift, record, play, key, request, power, or a setting (clock, language, sysvar, state, "
    "slots, model, terminal, idle, dir, nodir, recording, write, firmwaredat, fail, power, boot, "
    "channel, event, tune)";
const char* const kFaults =
    "create, open, chdir, alloc, rename, delete, mv, read, write, list, fill, copy, region or "
    "clear";

// The result a failing screen call gives back: any int.
long long ResultToken(Cursor& c, const char* what) {
  return NumberToken(c, -2147483647LL - 1, 2147483647LL, what);
}

// An optional last word (false when the line ends there).
bool OptionalWord(Cursor& c, const char* word) {
  const Token* t = c.Peek();
  if (!t || t->quoted || t->text != word) return false;
  c.Skip();
  return true;
}

void ParseFault(Cursor& c, Step& st) {
  std::string what = c.Word((std::string("what to fail (") + kFaults + ")").c_str());
  if (what == "create") {
    st.op = Op::FailCreate;
  } else if (what == "open") {
    st.op = Op::FailOpen;
  } else if (what == "chdir") {
    st.op = Op::FailChdir;
  } else if (what == "rename") {
    st.op = Op::FailRename;
  } else if (what == "delete") {
    st.op = Op::FailDelete;
  } else if (what == "mv") {
    st.op = Op::FailMv;
  } else if (what == "read") {
    st.op = Op::FailRead;
  } else if (what == "write") {
    st.op = Op::FailWrite;
  } else if (what == "list") {
    st.op = Op::FailList;
  } else if (what == "alloc") {
    st.op = Op::FailAlloc;
    const Token* t = c.Peek();
    if (t && !t->quoted && t->text == "all") {
      c.Skip();
      st.n[1] = 1;
    } else {
      st.n[0] = NumberToken(c, 0, 0xFFFFFFFFLL, "allocation number");
    }
    return;
  } else if (what == "fill" || what == "copy" || what == "region") {
    st.op = what == "fill" ? Op::FailFill : what == "copy" ? Op::FailCopy : Op::FailRegion;
    st.n[0] = ResultToken(c, "the result it gives");
    return;
  } else if (what == "clear") {
    st.op = Op::FailClear;
    return;
  } else {
    Fail("unknown fault '" + Shown(what) + "' (expected " + kFaults + ")");
  }
  st.s.push_back(ReceiverPath(c, what == "list" ? "folder" : "path"));
  if (st.op == Op::FailMv) st.n[0] = OptionalWord(c, "moved");
  if (st.op == Op::FailRead) st.n[0] = OptionalWord(c, "short");
}

// Receiver settings. Returns false when the word is no setting.
bool ParseSetting(const std::string& word, Cursor& c, Step& st) {
  if (word == "clock") {
    const Token* t = c.Peek();
    if (t && !t->quoted && t->text == "unset") {
      c.Skip();
      st.op = Op::ClockUnset;
    } else {
      st.op = Op::Clock;
      ParseDateTime(c, st.n);
    }
  } else if (word == "language") {
    std::string l = c.Word("language (english or german)");
    st.op = Op::SysVar;
    st.n[0] = 1;
    if (l == "english")
      st.n[1] = 1;
    else if (l == "german")
      st.n[1] = 2;
    else
      Fail("unknown language '" + Shown(l) + "' (expected english or german)");
  } else if (word == "sysvar") {
    st.op = Op::SysVar;
    st.n[0] = NumberToken(c, 0, 255, "system variable number");
    st.n[1] = NumberToken(c, -2147483647LL - 1, 0xFFFFFFFFLL, "system variable value");
  } else if (word == "state") {
    st.op = Op::State;
    st.n[0] = NumberToken(c, 0, 0xFFFFFFFFLL, "state");
    st.n[1] = NumberToken(c, 0, 0xFFFFFFFFLL, "sub-state");
  } else if (word == "slots") {
    st.op = Op::Slots;
    st.n[0] = NumberToken(c, 2, 4, "number of recording slots");
    if (st.n[0] == 3) Fail("bad number '3' for number of recording slots (expected 2 or 4)");
  } else if (word == "model") {
    st.op = Op::Model;
    st.n[0] = NumberToken(c, 0, 0xFFFFFFFFLL, "model number");
  } else if (word == "terminal") {
    st.op = Op::Terminal;
    st.n[0] = NumberToken(c, 0, 19, "terminal number");
    st.n[1] = 1;
    if (!c.AtEnd()) {
      std::string w = c.Word("open or closed");
      if (w == "closed")
        st.n[1] = 0;
      else if (w != "open")
        Fail("expected open or closed after the terminal number, not '" + Shown(w) + "'");
    }
  } else if (word == "idle") {
    st.op = Op::Idle;
    st.n[0] = NumberToken(c, 0, 360000, "ticks between idle events");
  } else if (word == "dir") {
    st.op = Op::Dir;
    st.s.push_back(ReceiverPath(c, "folder"));
  } else if (word == "nodir") {
    st.op = Op::NoDir;
    st.s.push_back(ReceiverPath(c, "folder"));
    if (st.s[0] == "/") Fail("nodir / would remove the whole disk (expected a folder below /)");
  } else if (word == "recording") {
    st.op = Op::Recording;
    st.s.push_back(ReceiverPath(c, "stream file path"));
    ExpectWord(c, "start");
    ParseDateTime(c, st.n);
  } else if (word == "write") {
    st.op = Op::Write;
    st.s.push_back(ReceiverPath(c, "file path"));
    const Token& t = c.Next("file content (a quoted text)");
    st.s.push_back(t.text);
  } else if (word == "firmwaredat") {
    st.op = Op::FirmwareDat;
    st.s.push_back(ReceiverPath(c, "folder"));
    ExpectWord(c, "model");
    st.n[0] = NumberToken(c, 0, 0xFFFFFFFFLL, "model number");
    ExpectWord(c, "slots");
    st.n[1] = NumberToken(c, 0, 255, "number of recording slots");
  } else if (word == "fail") {
    ParseFault(c, st);
  } else if (word == "power") {
    // "power cut" alone is the timed action; "power cut after N" arms a cut.
    ExpectWord(c, "cut");
    if (c.AtEnd()) {
      st.op = Op::PowerCut;
    } else {
      ExpectWord(c, "after");
      st.op = Op::PowerCutAfter;
      st.n[0] = NumberToken(c, 0, 0xFFFFFFFFLL, "number of disk changes");
      if (OptionalWord(c, "changes")) {
        ExpectWord(c, "to");
        st.s.push_back(ReceiverPath(c, "path the changes name"));
      }
      st.n[1] = OptionalWord(c, "half");
    }
  } else if (word == "boot") {
    // "boot delay TIME", or "boot timeshift": the firmware starts a new
    // timeshift buffer at every start after a cut.
    if (OptionalWord(c, "timeshift")) {
      st.op = Op::BootTimeshift;
    } else {
      ExpectWord(c, "delay");
      st.op = Op::BootDelay;
      st.n[0] = ParseTime(c.Word("boot delay (H:MM:SS)"));
    }
  } else if (word == "channel") {
    st.op = Op::Channel;
    st.n[0] = NumberToken(c, 0, 255, "service type");
    st.n[1] = NumberToken(c, 0, 65535, "service number");
    st.s.push_back(Text(c, "channel name", true));
  } else if (word == "event") {
    st.op = Op::Event;
    st.n[0] = NumberToken(c, 0, 255, "service type");
    st.n[1] = NumberToken(c, 0, 65535, "service number");
    const Token* t = c.Peek();
    if (t && !t->quoted && t->text == "none") {
      c.Skip();
      st.n[2] = 1;
    } else {
      st.s.push_back(Text(c, "event name", true));
      st.s.push_back(Text(c, "event description", true));
    }
  } else if (word == "tune") {
    st.op = Op::Tune;
    st.n[0] = NumberToken(c, 0, 255, "service type");
    st.n[1] = NumberToken(c, 0, 65535, "service number");
  } else {
    return false;
  }
  c.End();
  return true;
}

void ParseAction(const std::string& word, Cursor& c, Step& st) {
  if (ParseSetting(word, c, st)) return;
  if (word == "timeshift") {
    std::string w = c.Word("start or stop");
    if (w == "start") {
      st.op = Op::TimeshiftStart;
      st.s.push_back(c.AtEnd() ? std::string() : FileName(c, "timeshift file name"));
    } else if (w == "stop") {
      st.op = Op::TimeshiftStop;
    } else {
      Fail("expected start or stop after timeshift, not '" + Shown(w) + "'");
    }
  } else if (word == "record") {
    st.n[0] = NumberToken(c, 0, 3, "recording slot");
    std::string w = c.Word("start or stop");
    if (w == "start") {
      st.op = Op::RecordStart;
      st.s.push_back(FileName(c, "recording file name"));
    } else if (w == "stop") {
      st.op = Op::RecordStop;
    } else {
      Fail("expected start or stop after the slot, not '" + Shown(w) + "'");
    }
  } else if (word == "play") {
    const Token* t = c.Peek();
    if (!t) Fail("missing file path or stop after play");
    if (!t->quoted && t->text == "stop") {
      c.Skip();
      st.op = Op::PlayStop;
    } else {
      st.op = Op::Play;
      st.s.push_back(ReceiverPath(c, "file path"));
      st.n[0] = 0;
      st.n[1] = -1;
      const Token* t = c.Peek();
      if (t && !t->quoted && t->text == "mode") {
        c.Skip();
        st.n[0] = NumberToken(c, 0, 255, "play mode");
      }
      t = c.Peek();
      if (t && !t->quoted && t->text == "blocks") {
        c.Skip();
        st.n[1] = NumberToken(c, 0, 0xFFFFFFFFLL, "number of blocks");
      }
      if (!c.AtEnd()) {
        std::string w = c.Word("mode or blocks");
        Fail("expected mode or blocks after the file path, not '" + Shown(w) + "'");
      }
    }
  } else if (word == "key") {
    st.op = Op::Key;
    std::string k = c.Word("key (ok, exit, left, right or a code such as 0x1001E)");
    st.s.push_back(k);
    if (k == "ok")
      st.n[0] = 0x1001E;
    else if (k == "exit")
      st.n[0] = 0x10017;
    else if (k == "left")
      st.n[0] = 0x1000F;
    else if (k == "right")
      st.n[0] = 0x10015;
    else if (k.size() > 2 && k[0] == '0' && (k[1] == 'x' || k[1] == 'X'))
      st.n[0] = Number(k, 0, 0xFFFFFFFFLL, "key code");
    else
      Fail("unknown key '" + Shown(k) +
           "' (expected ok, exit, left, right or a code such as 0x1001E)");
  } else if (word == "request") {
    st.op = Op::Request;
    st.n[0] = NumberToken(c, 0, 0xFFFFFFFFLL, "request number");
  } else {
    Fail("unknown action '" + Shown(word) + "' (expected " + kActions + ")");
  }
  c.End();
}

void ParseExpect(Cursor& c, Step& st) {
  std::string w = c.Word(
      "what to expect (file, nofile, exited, running, log, nolog, console, "
      "noconsole, screen, noscreen, cuts or restarts)");
  if (w == "file" || w == "nofile") {
    st.op = w == "file" ? Op::ExpectFile : Op::ExpectNoFile;
    st.s.push_back(ReceiverPath(c, "path"));
  } else if (w == "exited") {
    st.op = Op::ExpectExited;
  } else if (w == "running") {
    st.op = Op::ExpectRunning;
  } else if (w == "log" || w == "nolog" || w == "console" || w == "noconsole" || w == "screen") {
    st.op = w == "log"         ? Op::ExpectLog
            : w == "nolog"     ? Op::ExpectNoLog
            : w == "console"   ? Op::ExpectConsole
            : w == "noconsole" ? Op::ExpectNoConsole
                               : Op::ExpectScreen;
    st.s.push_back(Text(c, "text", false));
  } else if (w == "noscreen") {
    st.op = Op::ExpectNoScreen;
  } else if (w == "cuts" || w == "restarts") {
    st.op = w == "cuts" ? Op::ExpectCuts : Op::ExpectRestarts;
    st.n[0] = NumberToken(c, 0, 0xFFFFFFFFLL,
                          w == "cuts" ? "number of power cuts" : "number of restarts");
  } else {
    Fail("unknown expectation '" + Shown(w) +
         "' (expected file, nofile, exited, running, log, nolog, console, noconsole, screen, "
         "noscreen, cuts or restarts)");
  }
  c.End();
}

// H:MM:SS as written in a scenario.
std::string Clock(uint32_t ticks) {
  std::string t = TimeText(ticks);
  return t.substr(0, t.size() - 3);
}

}  // namespace

std::string TimeText(uint32_t ticks) {
  char buf[32];
  unsigned cs = ticks % 100;
  unsigned s = ticks / 100;
  snprintf(buf, sizeof buf, "%u:%02u:%02u.%02u", s / 3600, s / 60 % 60, s % 60, cs);
  return buf;
}

bool ParseScenario(const std::string& file, const std::string& text, Scenario& out,
                   std::string& error) {
  out = Scenario();
  out.file = file;
  uint32_t now = 0;
  int nowLine = 0;
  bool timed = false;  // a timed line has been seen: the power-on part is over
  size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    ++lineNo;
    try {
      if (line.find('\0') != std::string::npos) Fail("line holds a zero byte");
      std::vector<Token> tokens = Tokenize(line);
      if (tokens.empty()) continue;
      if (tokens[0].quoted) Fail("a line starts with a directive, not a quoted text");
      const std::string& word = tokens[0].text;
      Step st;
      st.line = lineNo;
      if (word == "at" || word == "run") {
        Cursor c(tokens, 1);
        uint32_t t = ParseTime(c.Word("time (H:MM:SS)"));
        if (timed && t < now)
          Fail("time " + Clock(t) + " is before " + Clock(now) + " of line " +
               std::to_string(nowLine) + " (times must not go backwards)");
        now = t;
        nowLine = lineNo;
        timed = true;
        if (word == "run") {
          c.End();
          continue;
        }
        st.tick = t;
        std::string action = c.Word("action after the time");
        Cursor rest(tokens, 3);
        if (action == "expect") {
          st.stage = Stage::Expect;
          ParseExpect(rest, st);
        } else {
          st.stage = Stage::Action;
          ParseAction(action, rest, st);
        }
        st.text = line.substr(tokens[2].begin, tokens.back().end - tokens[2].begin);
      } else if (word == "expect") {
        Cursor c(tokens, 1);
        st.stage = Stage::Expect;
        st.tick = now;
        ParseExpect(c, st);
        st.text = line.substr(tokens[0].begin, tokens.back().end - tokens[0].begin);
      } else {
        Cursor c(tokens, 1);
        if (!ParseSetting(word, c, st)) {
          if (word == "timeshift" || word == "record" || word == "play" || word == "key" ||
              word == "request")
            Fail("'" + word + "' is a timed action (expected 'at H:MM:SS " + word + " ...')");
          Fail("unknown directive '" + Shown(word) + "' (expected " + kSettings +
               ", at, run or expect)");
        }
        if (st.op == Op::PowerCut)
          Fail(
              "'power cut' is a timed action (expected 'at H:MM:SS power cut', or 'power cut "
              "after N' at power-on)");
        if (timed)
          Fail("setting '" + word + "' after the first timed line (expected 'at H:MM:SS " + word +
               " ...'; settings without 'at' describe the receiver at power-on)");
        st.stage = Stage::PowerOn;
        st.tick = 0;
        st.text = line.substr(tokens[0].begin, tokens.back().end - tokens[0].begin);
      }
      out.steps.push_back(std::move(st));
    } catch (const Fault& f) {
      error = file + ":" + std::to_string(lineNo) + ": " + f.message;
      return false;
    }
  }
  if (!timed) {
    // Settings and expectations alone play nothing: such a file would pass
    // without the plug-in ever seeing an event.
    error = file + ":" + std::to_string(lineNo > 0 ? lineNo : 1) +
            ": the scenario has no 'run' or 'at' line, so nothing would be played (end it with "
            "'run H:MM:SS')";
    return false;
  }
  out.endTick = now;
  return true;
}

bool LoadScenario(const char* path, Scenario& out, std::string& error) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    error = std::string(path) + ": cannot open scenario: " + strerror(errno);
    return false;
  }
  std::string text;
  char buf[65536];
  size_t n;
  bool tooLarge = false;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    if (text.size() + n > kMaxScenarioSize) {
      tooLarge = true;
      break;
    }
    text.append(buf, n);
  }
  bool readError = ferror(f) != 0;
  fclose(f);
  if (readError) {
    error = std::string(path) + ": cannot read scenario (is it a folder?)";
    return false;
  }
  if (tooLarge) {
    error = std::string(path) + ": scenario is larger than 16 MiB";
    return false;
  }
  return ParseScenario(path, text, out, error);
}

}  // namespace tapsim
