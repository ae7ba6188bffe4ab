#include "temporary_store.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TemporaryStore::TemporaryStore() {
  std::string pattern = (std::filesystem::temp_directory_path() / "buttonguard-test-XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  folder_ = pattern;
  path_ = folder_ + "/power-scheme";
}

TemporaryStore::~TemporaryStore() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void TemporaryStore::Write(const std::optional<std::string>& text) const {
  if (!text) {
    std::filesystem::remove(path_);
    return;
  }
  std::ofstream(path_, std::ios::binary) << *text;
}

std::optional<std::string> TemporaryStore::ReadPath(const std::string& path) {
  if (!std::filesystem::is_regular_file(path)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}
