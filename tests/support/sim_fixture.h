// Test fixture: a fresh simulated receiver on a sandbox of its own for every
// test case. (The plug-in's statics are put back before every case by the
// test programs' main.)
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "sim/control.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // The plug-in as freshly loaded on a receiver just started on an empty
  // disk: for the rows of a table that each need one.
  void Restart();
  // Host path of the sandbox.
  std::string disk;
  // Receiver path of a file or folder read back as text ("" when missing).
  std::string ReadText(const char* path);
  // Writes a text file on the simulated disk.
  void WriteText(const char* path, const std::string& text);
};

// Path of a file in the build tree ("sim/tapsim", "brantlow.tap").
std::string BuildPath(const char* relative);
// Host folder (made if missing) below which the test cases' sandboxes lie,
// one folder a case: $BRANTLOW_TEST_DISKS, else "test-disks" in the build
// tree. (ctest gives the whole-program runs folders of their own, so that
// they never share a sandbox with the same case run alone at the same time.)
std::string TestDisks();
// Path of a file in the source tree ("scenarios/evening.scn").
std::string SourcePath(const char* relative);

// Everything below a host folder, links not followed: one line per entry
// with its relative path, kind, modification time and (files) bytes, or
// (links) target. Two equal snapshots mean nothing in the folder changed.
std::string Snapshot(const std::string& hostFolder);
// The firmware calls of sim_call_sequence() that are among names, in order,
// each followed by a blank: the order of a few calls, whatever else ran.
std::string CallsAmong(std::initializer_list<const char*> names);
