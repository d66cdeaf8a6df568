// compressor [input [output]]: compresses input (default "book1") into
// output (default "book1.ari").
#include <cstdio>
#include <memory>

#include "tools/compressed_file.h"
#include "tools/console.h"

using namespace bytemix;

int main(int argc, char** argv) {
  const char* input_name = argc > 1 ? argv[1] : "book1";
  const char* output_name = argc > 2 ? argv[2] : "book1.ari";

  std::FILE* input = std::fopen(input_name, "rb");
  if (!input) {
    std::perror(input_name);
    return 1;
  }
  std::fseek(input, 0, SEEK_END);
  const auto length = static_cast<std::int32_t>(std::ftell(input));
  std::fseek(input, 0, SEEK_SET);

  std::FILE* output = std::fopen(output_name, "wb");
  if (!output) {
    std::perror(output_name);
    return 1;
  }

  auto source = std::make_unique<ByteSource>(read_file, input);
  auto sink = std::make_unique<ByteSink>(write_file, output);
  CodingTimer timer;
  const CodecStatus status = compress(*source, length, *sink, console_progress(stdout));
  timer.print(stdout);
  std::fclose(output);
  std::fclose(input);
  return status == CodecStatus::ok ? 0 : 1;
}
