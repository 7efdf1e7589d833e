// Test fixture: a fresh simulated receiver on a sandbox of its own for every
// test case.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "sim/control.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Host path of the sandbox.
  std::string disk;
  // Receiver path of a file or folder read back as text ("" when missing).
  std::string ReadText(const char* path);
  // Writes a text file on the simulated disk.
  void WriteText(const char* path, const std::string& text);
};

// Path of a file in the build tree ("sim/tapsim", "brantlow.tap").
std::string BuildPath(const char* relative);
// Path of a file in the source tree ("scenarios/evening.scn").
std::string SourcePath(const char* relative);

// Everything below a host folder, links not followed: one line per entry
// with its relative path, kind, modification time and (files) bytes, or
// (links) target. Two equal snapshots mean nothing in the folder changed.
std::string Snapshot(const std::string& hostFolder);
// The firmware calls of sim_call_sequence() that are among names, in order,
// each followed by a blank: the order of a few calls, whatever else ran.
std::string CallsAmong(std::initializer_list<const char*> names);
