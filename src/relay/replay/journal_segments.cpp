#include "relay/replay/journal_segments.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "relay/replay/journal_format.h"

namespace {

constexpr std::string_view Prefix = "events-", Suffix = ".journal";

// The n of "events-<n>.journal", or -1.
int IndexOf(const std::string& name) {
  if (name.size() <= Prefix.size() + Suffix.size() || name.size() > 20 ||
      name.compare(0, Prefix.size(), Prefix) != 0 ||
      name.compare(name.size() - Suffix.size(), Suffix.size(), Suffix) != 0) {
    return -1;
  }
  const std::string digits = name.substr(Prefix.size(), name.size() - Prefix.size() - Suffix.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoi(digits);
}

}  // namespace

JournalSegments::JournalSegments(std::string folder) : Folder(std::move(folder)) {
  std::error_code error;
  std::filesystem::create_directory(Folder, error);
  if (error) Fail(Folder, std::system_error(error));
}

std::string JournalSegments::PathOf(int index) const {
  return (std::filesystem::path(Folder) / (std::string(Prefix) + std::to_string(index) +
                                           std::string(Suffix))).string();
}

void JournalSegments::Fail(const std::string& what, const std::system_error& failure) {
  if (!std::exchange(Failing, true)) Failure = what + ": " + failure.code().message();
}

std::vector<char*> JournalSegments::Kept() {
  std::vector<char*> kept;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(Folder, error)) {
    const int index = IndexOf(entry.path().filename().string());
    if (index < 0) continue;
    NextIndex = std::max(NextIndex, index + 1);
    try {
      Files.push_back(std::make_unique<MappedFile>(PathOf(index), journal::SegmentBytes));
      kept.push_back(Files.back()->Bytes());
    } catch (const std::system_error& failure) {
      Fail(PathOf(index), failure);
    }
  }
  return kept;
}

char* JournalSegments::Open() {
  if (!SpareFiles.empty()) {
    char* segment = SpareFiles.back();
    SpareFiles.pop_back();
    Failing = false;
    return segment;
  }
  const std::string path = PathOf(NextIndex);
  try {
    Files.push_back(std::make_unique<MappedFile>(path, journal::SegmentBytes));
    ++NextIndex;
    Failing = false;
    return Files.back()->Bytes();
  } catch (const std::system_error& failure) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);  // what was made of it, so that no short file stays
    Fail(path, failure);
    ++FailedSegments;
    return Memory.Open();
  }
}

void JournalSegments::Release(char* segment) {
  if (Journals(segment)) {
    SpareFiles.push_back(segment);
  } else {
    Memory.Release(segment);
  }
}

bool JournalSegments::Journals(const char* segment) const {
  return std::any_of(Files.begin(), Files.end(),
                     [&](const auto& file) { return file->Bytes() == segment; });
}

std::string JournalSegments::TakeFailure() { return std::exchange(Failure, {}); }
