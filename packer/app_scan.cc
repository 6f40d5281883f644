#include "packer/app_scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>

#include "packer/mapped_file.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe_exports.h"

namespace {

struct folder_id {
  dev_t device;
  ino_t inode;
  bool operator==(const folder_id&) const = default;
};

[[noreturn]] void cannot_read(const std::string& display, int error) {
  throw pack_error("cannot read " + quote_name(display) + ": " + errno_text(error));
}

std::string real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved ? std::string(resolved.get()) : std::string();
}

bool is_inside(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path == root ||
         (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

std::u16string to_entry_name(const std::string& display) {
  std::u16string name = *utf8_to_utf16(display);  // components were checked one by one
  std::replace(name.begin(), name.end(), u'/', u'\\');
  return name;
}

class app_walker {
 public:
  app_walker(std::string root_real, app_contents* out) : root_real_(std::move(root_real)), out_(out) {}

  void walk(const std::string& host, const std::string& display, std::vector<folder_id>& ancestors) {
    DIR* folder = opendir(host.c_str());
    if (!folder) cannot_read(display.empty() ? "." : display, errno);
    std::vector<std::string> children;
    errno = 0;
    while (dirent* child = readdir(folder)) {
      std::string name = child->d_name;
      if (name != "." && name != "..") children.push_back(std::move(name));
    }
    int error = errno;
    closedir(folder);
    if (error != 0) cannot_read(display.empty() ? "." : display, error);
    // Sorted so that warnings and the first fault reported do not depend on the file system.
    std::sort(children.begin(), children.end());
    if (children.empty() && !display.empty())
      out_->warnings.push_back("empty folder " + quote_name(display) + " is left out (folders are not entries)");
    for (const std::string& child : children)
      visit(host + "/" + child, display.empty() ? child : display + "/" + child, child, ancestors);
  }

 private:
  void visit(const std::string& host, const std::string& display, const std::string& component,
             std::vector<folder_id>& ancestors) {
    if (!utf8_to_utf16(component)) throw pack_error("name " + quote_name(display) + " is not valid UTF-8");
    if (const char* fault = windows_component_fault(component))
      throw pack_error("name " + quote_name(display) + " " + fault);
    struct stat link_info, info;
    if (lstat(host.c_str(), &link_info) != 0) cannot_read(display, errno);
    bool is_link = S_ISLNK(link_info.st_mode);
    if (stat(host.c_str(), &info) != 0) cannot_read(display, errno);
    if (S_ISDIR(info.st_mode)) {
      folder_id id{info.st_dev, info.st_ino};
      if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end())
        throw pack_error("symbolic link " + quote_name(display) + " leads back into a folder containing it (a loop)");
      if (is_link && !is_inside(real_path(host), root_real_))
        throw pack_error("symbolic link " + quote_name(display) + " leads to a folder outside the app folder");
      ancestors.push_back(id);
      walk(host, display, ancestors);
      ancestors.pop_back();
      return;
    }
    if (!S_ISREG(info.st_mode)) throw pack_error("cannot read " + quote_name(display) + ": not a regular file");
    int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) cannot_read(display, errno);
    close(fd);
    std::u16string name = to_entry_name(display);
    if (name.size() > entry_name_max_units)
      throw pack_error("name " + quote_name(display) + " is " + std::to_string(name.size()) +
                       " UTF-16 units long; the launcher takes at most " + std::to_string(entry_name_max_units));
    out_->entries.push_back({host, display, std::move(name), static_cast<uint64_t>(info.st_size)});
    out_->content_bytes += static_cast<uint64_t>(info.st_size);
  }

  std::string root_real_;
  app_contents* out_;
};

/// `main_path` with '.' and '..' resolved lexically and '/' separators; throws when it is
/// absolute or climbs out of the app folder.
std::string normal_main_path(const std::string& app_dir, const std::string& main_path) {
  auto outside = [&] {
    return pack_error("main library " + quote_name(main_path) + " is outside the app folder " + quote_name(app_dir));
  };
  if (main_path.empty()) throw pack_error("main library path is empty", exit_usage);
  if (main_path[0] == '/' || main_path[0] == '\\') throw outside();
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= main_path.size(); ++i) {
    if (i < main_path.size() && main_path[i] != '/' && main_path[i] != '\\') continue;
    std::string part = main_path.substr(start, i - start);
    start = i + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) throw outside();
      parts.pop_back();
    } else {
      parts.push_back(part);
    }
  }
  if (parts.empty()) throw pack_error("main library " + quote_name(main_path) + " names the app folder itself");
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : "/") + part;
  return joined;
}

void check_no_case_clashes(const std::vector<app_entry>& entries) {
  std::map<std::u16string, const app_entry*> files;
  std::map<std::u16string, const app_entry*> folders;  // folded folder name -> a file inside
  for (const app_entry& entry : entries) {
    std::u16string folded = fold_case(entry.name);
    auto [at, added] = files.emplace(folded, &entry);
    if (!added)
      throw pack_error("names " + quote_name(at->second->display) + " and " + quote_name(entry.display) +
                       " differ only in case; Windows would see one file");
    for (size_t i = folded.find(u'\\'); i != std::u16string::npos; i = folded.find(u'\\', i + 1))
      folders.emplace(folded.substr(0, i), &entry);
  }
  for (const auto& [folded, entry] : files) {
    auto clash = folders.find(folded);
    if (clash != folders.end())
      throw pack_error("file " + quote_name(entry->display) + " has the name of the folder holding " +
                       quote_name(clash->second->display) + " (case ignored); Windows cannot have both");
  }
}

}  // namespace

app_contents scan_app(const std::string& app_dir, const std::string& main_path) {
  struct stat info;
  if (stat(app_dir.c_str(), &info) != 0)
    throw pack_error("cannot read app folder " + quote_name(app_dir) + ": " + errno_text(errno));
  if (!S_ISDIR(info.st_mode)) throw pack_error("app folder " + quote_name(app_dir) + " is not a folder");
  std::string main_display = normal_main_path(app_dir, main_path);
  std::string main_host = app_dir + "/" + main_display;
  struct stat main_info;
  if (stat(main_host.c_str(), &main_info) != 0)
    throw pack_error("cannot read main library " + quote_name(main_display) + ": " + errno_text(errno));
  if (S_ISDIR(main_info.st_mode)) throw pack_error("main library " + quote_name(main_display) + " is a folder");

  app_contents contents;
  app_walker walker(real_path(app_dir), &contents);
  std::vector<folder_id> ancestors{{info.st_dev, info.st_ino}};
  walker.walk(app_dir, "", ancestors);

  auto main = std::find_if(contents.entries.begin(), contents.entries.end(),
                           [&](const app_entry& e) { return e.display == main_display; });
  if (main == contents.entries.end())
    throw pack_error("main library " + quote_name(main_display) + " is outside the app folder " + quote_name(app_dir));
  {
    mapped_file image(main->host_path, main_display);
    if (const char* fault = main_library_fault(image.data(), image.size()))
      throw pack_error("main library " + quote_name(main_display) + " is not usable: " + fault);
  }
  std::rotate(contents.entries.begin(), main, main + 1);
  std::sort(contents.entries.begin() + 1, contents.entries.end(),
            [](const app_entry& a, const app_entry& b) { return a.name < b.name; });
  check_no_case_clashes(contents.entries);
  return contents;
}
