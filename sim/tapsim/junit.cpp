// JUnit XML of a run. Texts from the scenario and the plug-in are made
// printable first (valid UTF-8, control bytes as \xNN), so the file is
// well-formed XML whatever the plug-in wrote.
#include "sim/tapsim/junit.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <map>

#include "sim/tapsim/html_report.h"

namespace tapsim {
namespace {

// The same escapes serve XML attributes and text as HTML.
std::string Xml(const std::string& text) {
  return HtmlEscape(Printable(text.data(), text.size()));
}

// Multi-line text (a failure's detail) kept line by line.
std::string XmlLines(const std::string& text) {
  std::string out;
  size_t start = 0;
  for (;;) {
    size_t nl = text.find('\n', start);
    out += Xml(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    out += '\n';
    start = nl + 1;
  }
  return out;
}

// "scenarios/evening.scn" -> "scenarios.evening": the class CI servers group
// the test cases under.
std::string ClassName(const std::string& file) {
  std::string name = file;
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".scn") == 0)
    name.resize(name.size() - 4);
  while (name.compare(0, 2, "./") == 0) name.erase(0, 2);
  for (char& c : name)
    if (c == '/') c = '.';
  name.erase(0, name.find_first_not_of('.'));
  return name.empty() ? "scenario" : name;
}

bool WriteFile(const std::string& path, const std::string& text, std::string& error) {
  FILE* f = fopen(path.c_str(), "wb");
  bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && fclose(f) != 0) ok = false;
  if (!ok) error = "cannot write the JUnit file " + path + ": " + strerror(errno);
  return ok;
}

std::string Now() {
  char buf[32];
  time_t t = time(nullptr);
  struct tm tm;
  gmtime_r(&t, &tm);
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  return buf;
}

std::string Host() {
  char buf[256] = "localhost";
  if (gethostname(buf, sizeof buf - 1) != 0) strcpy(buf, "localhost");
  buf[sizeof buf - 1] = 0;
  return buf;
}

}  // namespace

bool JunitPrepare(const std::string& path, const Scenario& scenario, std::string& error) {
  std::string cls = Xml(ClassName(scenario.file));
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<testsuites name=\"tapsim\" tests=\"1\" failures=\"0\" errors=\"1\" skipped=\"0\">\n"
      "  <testsuite name=\"" +
      cls + "\" tests=\"1\" failures=\"0\" errors=\"1\" skipped=\"0\" time=\"0\" timestamp=\"" +
      Now() + "\" hostname=\"" + Xml(Host()) +
      "\">\n"
      "    <testcase name=\"the run\" classname=\"" +
      cls +
      "\" time=\"0\">\n"
      "      <error message=\"tapsim has not finished the run\" type=\"unfinished\">tapsim was "
      "stopped before it could write the results.</error>\n"
      "    </testcase>\n  </testsuite>\n</testsuites>\n";
  return WriteFile(path, text, error);
}

bool JunitWrite(const std::string& path, const JunitRun& run, const std::vector<Outcome>& outcomes,
                std::string& error) {
  const Scenario& sc = *run.scenario;
  std::map<int, const Outcome*> byLine;
  for (const Outcome& o : outcomes) byLine[o.line] = &o;
  const std::string cls = Xml(ClassName(sc.file));
  unsigned tests = 0, failures = 0, errors = 0, skipped = 0;
  std::string cases;
  for (const Step& st : sc.steps) {
    if (st.stage != Stage::Expect) continue;
    ++tests;
    auto it = byLine.find(st.line);
    std::string name = "line " + std::to_string(st.line) + ": " + st.text;
    cases += "    <testcase name=\"" + Xml(name) + "\" classname=\"" + cls + "\" file=\"" +
             Xml(sc.file) + "\" line=\"" + std::to_string(st.line) + "\" time=\"0\"";
    if (it == byLine.end()) {
      ++skipped;
      cases += ">\n      <skipped message=\"not checked: the run ended before " +
               TimeText(st.tick) + "\"/>\n    </testcase>\n";
    } else if (!it->second->pass) {
      ++failures;
      const Outcome& o = *it->second;
      cases += ">\n      <failure message=\"" + Xml(st.text + " failed at " + TimeText(o.tick)) +
               "\" type=\"expectation\">" +
               XmlLines(sc.file + ":" + std::to_string(st.line) + " " + TimeText(o.tick) + " " +
                        st.text + "\n" + o.detail) +
               "</failure>\n    </testcase>\n";
    } else {
      cases += "/>\n";
    }
  }
  if (run.status == 2 || !run.stopped.empty()) {
    ++tests;
    ++errors;
    std::string why =
        !run.stopped.empty()
            ? run.stopped
            : "the run stopped: a scenario step the simulated receiver refused, or "
              "a plug-in that could not start (tapsim's message on stderr says which)";
    cases += "    <testcase name=\"the run\" classname=\"" + cls +
             "\" time=\"0\">\n      <error message=\"" + Xml(why) + "\" type=\"" +
             (run.stopped.empty() ? "stopped" : "crash") + "\">" + Xml(why) +
             "</error>\n    </testcase>\n";
  }
  char seconds[32];
  snprintf(seconds, sizeof seconds, "%.3f", run.seconds);
  std::string counts = "tests=\"" + std::to_string(tests) + "\" failures=\"" +
                       std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
                       "\" skipped=\"" + std::to_string(skipped) + "\"";
  std::string props;
  auto prop = [&](const char* name, const std::string& value) {
    props += "      <property name=\"" + std::string(name) + "\" value=\"" + Xml(value) + "\"/>\n";
  };
  prop("plugin", run.plugin);
  if (run.info) {
    prop("build", run.info->buildKind.empty() ? "not told" : run.info->buildKind);
    prop("version", run.info->version);
    prop("build-id", run.info->buildId);
    prop("machine", run.info->machineName);
  }
  prop("scenario", sc.file);
  prop("virtual-time", TimeText(sc.endTick));
  if (!run.diskFrom.empty()) prop("disk-from", run.diskFrom);
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"tapsim\" " +
                     counts + " time=\"" + seconds + "\">\n  <testsuite name=\"" + cls + "\" " +
                     counts + " time=\"" + seconds + "\" timestamp=\"" + Now() + "\" hostname=\"" +
                     Xml(Host()) + "\">\n    <properties>\n" + props + "    </properties>\n" +
                     cases + "  </testsuite>\n</testsuites>\n";
  return WriteFile(path, text, error);
}

}  // namespace tapsim
