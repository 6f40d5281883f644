#include "packer/app_scan.h"

#include <errno.h>

#include <algorithm>
#include <map>

#include "packer/host.h"
#include "packer/mapped_file.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe/pe_exports.h"

namespace {

struct folder_id {
  uint64_t volume, index;
  bool operator==(const folder_id&) const = default;
};

[[noreturn]] void cannot_read(const std::string& display, int error) {
  throw pack_error("cannot read " + quote_name(display) + ": " + errno_text(error));
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
    std::vector<host_name> children;
    if (!host_list_folder(host, &children)) cannot_read(display.empty() ? "." : display, errno);
    // Sorted so that warnings and the first fault reported do not depend on the file system.
    std::sort(children.begin(), children.end(), [](const host_name& a, const host_name& b) { return a.name < b.name; });
    if (children.empty() && !display.empty())
      out_->warnings.push_back("empty folder " + quote_name(display) + " is left out (folders are not entries)");
    for (const host_name& child : children) {
      std::string shown = display.empty() ? child.name : display + "/" + child.name;
      if (!child.valid) throw pack_error("name " + quote_name(shown) + " is not valid " + host_name_encoding);
      visit(host + "/" + child.name, shown, child.name, ancestors);
    }
  }

 private:
  void visit(const std::string& host, const std::string& display, const std::string& component,
             std::vector<folder_id>& ancestors) {
    if (const char* fault = windows_component_fault(component))
      throw pack_error("name " + quote_name(display) + " " + fault);
    host_file_info info;
    if (!host_stat(host, &info)) cannot_read(display, errno);
    if (info.kind == host_file_info::folder) {
      folder_id id{info.volume, info.index};
      if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end())
        throw pack_error("symbolic link " + quote_name(display) + " leads back into a folder containing it (a loop)");
      if (info.is_link && !host_is_inside(host_real_path(host), root_real_))
        throw pack_error("symbolic link " + quote_name(display) + " leads to a folder outside the app folder");
      ancestors.push_back(id);
      walk(host, display, ancestors);
      ancestors.pop_back();
      return;
    }
    if (info.kind != host_file_info::file)
      throw pack_error("cannot read " + quote_name(display) + ": not a regular file");
    int fd = host_open_read(host);
    if (fd < 0) cannot_read(display, errno);
    host_close(fd);
    std::u16string name = to_entry_name(display);
    if (name.size() > entry_name_max_units)
      throw pack_error("name " + quote_name(display) + " is " + std::to_string(name.size()) +
                       " UTF-16 units long; the launcher takes at most " + std::to_string(entry_name_max_units));
    out_->entries.push_back({host, display, std::move(name), info.size});
    out_->content_bytes += info.size;
  }

  std::string root_real_;
  app_contents* out_;
};

/// `main_path` with '.' and '..' resolved lexically and '/' separators; throws when it is
/// absolute or climbs out of the app folder.
std::string normal_main_path(const std::string& app_dir, const std::string& main_path) {
  auto outside = [&] {
    return pack_error("main file " + quote_name(main_path) + " is outside the app folder " + quote_name(app_dir));
  };
  if (main_path.empty()) throw pack_error("main file path is empty", exit_usage);
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
  if (parts.empty()) throw pack_error("main file " + quote_name(main_path) + " names the app folder itself");
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
  host_file_info info;
  if (!host_stat(app_dir, &info))
    throw pack_error("cannot read app folder " + quote_name(app_dir) + ": " + errno_text(errno));
  if (info.kind != host_file_info::folder) throw pack_error("app folder " + quote_name(app_dir) + " is not a folder");
  std::string main_display = normal_main_path(app_dir, main_path);
  std::string main_host = app_dir + "/" + main_display;
  host_file_info main_info;
  if (!host_stat(main_host, &main_info))
    throw pack_error("cannot read main file " + quote_name(main_display) + ": " + errno_text(errno));
  if (main_info.kind == host_file_info::folder)
    throw pack_error("main file " + quote_name(main_display) + " is a folder");

  app_contents contents;
  app_walker walker(host_real_path(app_dir), &contents);
  std::vector<folder_id> ancestors{{info.volume, info.index}};
  walker.walk(app_dir, "", ancestors);

  auto main = std::find_if(contents.entries.begin(), contents.entries.end(),
                           [&](const app_entry& e) { return e.display == main_display; });
  if (main == contents.entries.end())
    throw pack_error("main file " + quote_name(main_display) + " is outside the app folder " + quote_name(app_dir));
  {
    mapped_file image(main->host_path, main_display);
    if (const char* fault = main_file_fault(image.data(), image.size(), &contents.entry))
      throw pack_error("main file " + quote_name(main_display) + " is not usable: " + fault, exit_usage);
  }
  std::rotate(contents.entries.begin(), main, main + 1);
  std::sort(contents.entries.begin() + 1, contents.entries.end(),
            [](const app_entry& a, const app_entry& b) { return a.name < b.name; });
  check_no_case_clashes(contents.entries);
  return contents;
}
