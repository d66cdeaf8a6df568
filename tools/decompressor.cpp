// decompressor [input [output]]: restores input (default "book1.ari") into
// output (default "book1.unp").
#include <cstdio>
#include <memory>

#include "tools/compressed_file.h"
#include "tools/console.h"

using namespace bytemix;

int main(int argc, char** argv) {
  const char* input_name = argc > 1 ? argv[1] : "book1.ari";
  const char* output_name = argc > 2 ? argv[2] : "book1.unp";

  std::FILE* input = std::fopen(input_name, "rb");
  if (!input) {
    std::perror(input_name);
    return 1;
  }
  std::FILE* output = std::fopen(output_name, "wb");
  if (!output) {
    std::perror(output_name);
    return 1;
  }

  auto source = std::make_unique<ByteSource>(read_file, input);
  auto sink = std::make_unique<ByteSink>(write_file, output);
  CodingTimer timer;
  const CodecStatus status = decompress(*source, *sink, console_progress(stdout));
  timer.print(stdout);
  std::fclose(output);
  std::fclose(input);
  if (status != CodecStatus::ok) {
    // What was written is not the original; leave nothing that looks like it.
    std::fprintf(stderr, "decompressor: %s: %s\n", input_name, describe(status));
    std::remove(output_name);
    return 1;
  }
  return 0;
}
