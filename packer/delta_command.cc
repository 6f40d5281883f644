#include "packer/delta_command.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "formats/delta.h"
#include "formats/stub_descriptor.h"
#include "packer/delta_writer.h"
#include "packer/host.h"
#include "packer/mapped_file.h"
#include "packer/names.h"
#include "packer/pack_error.h"
#include "packer/pe/launcher_descriptor.h"
#include "packer/pe/pe_image.h"
#include "packer/progress.h"
#include "packer/stub_choice.h"
#include "packer/temp_output.h"

namespace {

const char* machine_name(uint16_t machine) {
  launcher_arch arch;
  return launcher_arch_of_machine(machine, &arch) ? launcher_arch_name(arch) : "unknown";
}

std::string product_text(const std::u16string& company, const std::u16string& product) {
  return quote_name(utf16_to_utf8(product)) + (company.empty() ? "" : " of " + quote_name(utf16_to_utf8(company)));
}

/// Who the launcher `file` says it is; throws for a file that is no launcher made by us.
delta_identity launcher_identity(const mapped_file& file, const std::string& path) {
  uint64_t offset, length;
  pe_headers headers;
  std::optional<std::u16string> company, product;
  try {
    if (!descriptor_payload(file.data(), file.size(), &offset, &length) ||
        read_pe_headers({file.data(), file.size()}, &headers))
      throw pack_error("not a launcher made by tavren-pack");
    company = descriptor_text(file.data(), file.size(), stub_company);
    product = descriptor_text(file.data(), file.size(), stub_product);
  } catch (const pack_error& e) {
    throw pack_error(quote_name(path) + ": " + e.what());
  }
  return {headers.machine, company.value_or(u""), product.value_or(u"")};
}

std::string percent(uint64_t part, uint64_t whole) {
  char text[32];
  snprintf(text, sizeof text, "%.1f %%", whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
  return text;
}

// What the self-check of a new delta hands the target to: compares it with the new launcher.
struct compare_sink {
  const unsigned char* expected;
  size_t left;
};

bool compare_piece(void* context, const unsigned char* data, size_t size) {
  compare_sink* sink = static_cast<compare_sink*>(context);
  if (size > sink->left || memcmp(sink->expected, data, size) != 0) return false;
  sink->expected += size;
  sink->left -= size;
  return true;
}

bool write_piece(void* context, const unsigned char* data, size_t size) {
  return host_write_all(*static_cast<int*>(context), data, size);
}

void make(const delta_request& r) {
  mapped_file old_file(r.old_path, r.old_path), new_file(r.new_path, r.new_path);
  delta_identity old_id = launcher_identity(old_file, r.old_path), new_id = launcher_identity(new_file, r.new_path);
  if (old_id.machine != new_id.machine)
    throw pack_error(quote_name(r.old_path) + " is an " + machine_name(old_id.machine) + " launcher and " +
                     quote_name(r.new_path) + " an " + machine_name(new_id.machine) +
                     " one: a delta joins two releases for one processor");
  if (old_id.company != new_id.company || old_id.product != new_id.product)
    throw pack_error(quote_name(r.old_path) + " is " + product_text(old_id.company, old_id.product) + " and " +
                     quote_name(r.new_path) + " is " + product_text(new_id.company, new_id.product) +
                     ": a delta joins two releases of one product");
  delta_figures figures;
  std::vector<unsigned char> delta = make_delta(old_file.data(), old_file.size(), new_file.data(), new_file.size(),
                                                new_id, r.level, r.threads, &figures);
  // What the launcher will do with it, done once here: a fault of ours must not ship.
  compare_sink check{new_file.data(), new_file.size()};
  const char* why = nullptr;
  if (!delta_apply_to(old_file.data(), old_file.size(), delta.data(), delta.size(), compare_piece, &check, &why) ||
      check.left != 0)
    throw pack_error(std::string("the delta made does not rebuild the new launcher (") + (why ? why : "short") +
                     "); nothing written");
  temp_file output(r.output);
  if (!host_write_all(output.fd(), delta.data(), delta.size()))
    throw pack_error("cannot write " + quote_name(r.output) + ": " + errno_text(errno));
  output.commit();
  if (!r.quiet)
    printf("delta %s: %s (%s of the new launcher's %s); %s copied from the old one, %s new\n", r.output.c_str(),
           human_bytes(delta.size()).c_str(), percent(delta.size(), new_file.size()).c_str(),
           human_bytes(new_file.size()).c_str(), human_bytes(figures.copied).c_str(),
           human_bytes(figures.literal).c_str());
}

void apply(const delta_request& r) {
  mapped_file old_file(r.old_path, r.old_path), delta(r.apply, r.apply);
  delta_header header;
  const char* why = nullptr;
  if (!delta_read_header(delta.data(), delta.size(), &header, &why)) throw pack_error(quote_name(r.apply) + ": " + why);
  // A delta for another product says so, rather than only that the old launcher differs; a
  // base that is no launcher of ours meets the digest check instead.
  std::optional<delta_identity> id;
  try {
    id = launcher_identity(old_file, r.old_path);
  } catch (const pack_error&) {
  }
  auto same = [](const std::u16string& text, const unsigned char* units, size_t count) {
    if (text.size() != count) return false;
    for (size_t i = 0; i < count; ++i)
      if (text[i] != static_cast<char16_t>(units[2 * i] | units[2 * i + 1] << 8)) return false;
    return true;
  };
  if (id && (!same(id->company, header.company, header.company_units) ||
             !same(id->product, header.product, header.product_units) || id->machine != header.machine))
    throw pack_error(quote_name(r.apply) + " is a delta for another product or processor than " +
                     quote_name(r.old_path) + " (" + product_text(id->company, id->product) + ", " +
                     machine_name(id->machine) + "); nothing written");
  temp_file output(r.output);
  int fd = output.fd();
  if (!delta_apply_to(old_file.data(), old_file.size(), delta.data(), delta.size(), write_piece, &fd, &why))
    throw pack_error(quote_name(r.apply) + ": " + why + "; nothing written");
  output.commit();
  if (!r.quiet)
    printf("applied %s: %s (%s, SHA-256 checked)\n", r.apply.c_str(), r.output.c_str(),
           human_bytes(header.target_size).c_str());
}

}  // namespace

void run_delta(const delta_request& r) {
  if (!r.apply.empty()) {
    if (!r.new_path.empty()) throw pack_error("delta --apply takes the old launcher alone, not NEW", exit_usage);
    apply(r);
    return;
  }
  if (r.new_path.empty()) throw pack_error("delta needs OLD and NEW (or --apply DELTA)", exit_usage);
  make(r);
}
