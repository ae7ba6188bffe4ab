#pragma once

#include <optional>
#include <string>

// A store file in a fresh folder of its own, removed again with the folder.
class TemporaryStore {
 public:
  TemporaryStore();
  ~TemporaryStore();
  TemporaryStore(const TemporaryStore&) = delete;
  TemporaryStore& operator=(const TemporaryStore&) = delete;

  const std::string& folder() const { return folder_; }
  const std::string& path() const { return path_; }

  // nullopt removes the file.
  void Write(const std::optional<std::string>& text) const;
  // nullopt when there is no file.
  std::optional<std::string> Read() const { return ReadPath(path_); }
  static std::optional<std::string> ReadPath(const std::string& path);

 private:
  std::string folder_;
  std::string path_;
};
