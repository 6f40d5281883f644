#include "packer/payload_command.h"

#include <chrono>

#include "packer/temp_output.h"

void run_payload(const pack_request& r) {
  check_pack_request(r);
  app_contents contents = scan_and_report(r);
  auto start = std::chrono::steady_clock::now();
  temp_file output(r.output);
  blob_figures figures = pack_into(r, contents, output.fd());
  output.commit();
  print_summary(r, "packed " + r.output, contents, figures.blob_bytes,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
