// Pieces shared by the service integration tests.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <string>
#include <thread>

#include "support/command.h"
#include "support/daemon_process.h"
#include "support/raw_connection.h"
#include "support/sandbox_root.h"

namespace zelvo::testing {

// Matches a Helper log line and captures its timestamp and message.
inline bool parseHelperLine(const std::string& line, std::string* timestamp, std::string* message) {
  static const std::regex re(R"(^\[Helper\] (\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}): (.*)$)");
  std::smatch m;
  if (!std::regex_match(line, m, re)) return false;
  *timestamp = m[1];
  *message = m[2];
  return true;
}

// Seconds between a "yyyy-MM-dd HH:mm:ss" local timestamp and now.
inline double secondsFromNow(const std::string& timestamp) {
  std::tm tm{};
  strptime(timestamp.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
  tm.tm_isdst = -1;
  return std::difftime(std::time(nullptr), std::mktime(&tm));
}

}  // namespace zelvo::testing
