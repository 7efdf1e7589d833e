// The HTML report of a run: one self-contained page (inline style, screens
// as inline PNG images) with the identification block, a time line of the
// evening drawn to scale, the timeshift periods with the programmes watched
// and the name each buffer was saved under, every happening, the folders at
// the end and the expectations.
#pragma once

#include <string>
#include <vector>

#include "sim/tapsim/elf_info.h"
#include "sim/tapsim/report.h"
#include "sim/tapsim/scenario.h"

namespace tapsim {

// Before the run: writes a page in the report's place that says the run has
// not finished, so that a path that cannot be written is found before the
// run, and a run that is stopped leaves no page of an earlier one. False with
// a message when the file cannot be written.
bool HtmlReportPrepare(const std::string& path, const std::string& scenarioFile,
                       std::string& error);

// Starts collecting for a report. disk is the host folder of the simulated
// disk, diskFrom the folder copied onto it ("" for none); ownScreens: a
// folder of the report's own that the screen files go to, each removed once
// read, and the folder when the page is written ("" for none).
void HtmlReportStart(const char* pluginPath, const TapInfo& info, const Scenario& scenario,
                     const std::string& disk, const std::string& diskFrom,
                     const std::string& ownScreens);
bool HtmlReportActive();

// After each load of the plug-in (dlopen's handle): where its mode machine
// keeps its state, for the report's "Mode" lane, when the file tells.
void HtmlReportPluginLoaded(void* handle);

// Why the run ended before its end (a crash of the plug-in): said at the top
// of the page.
void HtmlReportStopped(const std::string& why);

// A time-line line at the receiver's current tick (the text time line's
// lines, all of them); a "screen" line names the PNG file just written.
// Returns false when the text time line should not show the line: a screen
// file that only the report keeps.
bool HtmlReportLine(const char* kind, const std::string& text);

// Notes what changed in "/DataFiles/TimeShift" and its Save folder since the
// last call; the player calls it once the power-on disk is laid out (the
// first call only takes stock) and after every step.
void HtmlReportDiskStep();

// Writes the page. status is the run's exit status; outcomes the
// expectations checked. False with a message when the file cannot be written.
bool HtmlReportWrite(const std::string& path, const std::vector<Outcome>& outcomes, int status,
                     std::string& error);

// Text made safe inside HTML elements and quoted attributes.
std::string HtmlEscape(const std::string& text);

}  // namespace tapsim
