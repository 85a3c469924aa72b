// What the client prints: lines for people, one JSON object per result for
// scripts, failure lines on standard error, and the transfer progress bar.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One JSON object, built field by field.
class WL_JsonObject {
 public:
  WL_JsonObject& Str(std::string_view key, std::string_view value);
  WL_JsonObject& Int(std::string_view key, int64_t value);
  WL_JsonObject& Bool(std::string_view key, bool value);
  WL_JsonObject& Num(std::string_view key, double value);
  // An array of texts.
  WL_JsonObject& Strs(std::string_view key, const std::string* values, size_t n);
  std::string Text() const { return "{" + body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_;
};

// A JSON string literal (quotes included). Bytes that are not valid UTF-8
// are written as \u00XX so the output stays valid JSON.
std::string JsonQuote(std::string_view s);

// Prints a line on standard output.
void PrintLine(const std::string& line);
// Prints a JSON object as one line on standard output.
void PrintJson(const WL_JsonObject& o);
// "zelfo: message" on standard error.
void PrintError(const std::string& message);

// 1.5 KiB style sizes.
std::string HumanBytes(uint64_t n);
// Local time "YYYY-MM-DD HH:MM:SS", "-" for 0.
std::string TimeText(int64_t seconds);

// A progress bar on standard error for transfers that take more than a
// second, when standard error is a terminal and the output is not JSON.
class WL_Progress {
 public:
  WL_Progress(std::string name, int64_t total, bool enabled);
  ~WL_Progress();
  void Add(uint64_t n);
  // Clears the bar's line.
  void Finish();
  double Seconds() const;

 private:
  void Draw(uint64_t now);
  std::string name_;
  int64_t total_;  // -1 when unknown
  bool enabled_;
  bool shown_ = false;
  uint64_t start_ms_;
  uint64_t last_draw_ms_ = 0;
  uint64_t done_ = 0;
};
