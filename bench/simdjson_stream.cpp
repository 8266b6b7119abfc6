// The peer of `quillon-state check`: simdjson's document stream over a JSON Lines file, checking
// syntax only and touching every value of every document. Prints the documents and values seen.
#include <cstddef>
#include <cstdio>
#include <string_view>

#include <simdjson.h>

namespace {

namespace ondemand = simdjson::ondemand;

struct Tally {
  std::size_t values = 0;
  std::size_t text_bytes = 0;  // keys and strings, unescaped
  std::size_t doubles = 0;
  std::size_t trues = 0;
  std::size_t nulls = 0;
};

void touch(ondemand::value value, Tally& tally) {
  ++tally.values;
  switch (value.type()) {
    case ondemand::json_type::object:
      for (auto field : value.get_object()) {
        tally.text_bytes += std::string_view(field.unescaped_key()).size();
        touch(field.value(), tally);
      }
      return;
    case ondemand::json_type::array:
      for (auto element : value.get_array()) {
        touch(element.value(), tally);
      }
      return;
    case ondemand::json_type::string:
      tally.text_bytes += std::string_view(value.get_string()).size();
      return;
    case ondemand::json_type::number:
      tally.doubles += value.get_number().value().is_double() ? 1 : 0;
      return;
    case ondemand::json_type::boolean:
      tally.trues += value.get_bool().value() ? 1 : 0;
      return;
    case ondemand::json_type::null:
      tally.nulls += value.is_null().value() ? 1 : 0;
      return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: simdjson_stream FILE\n", stderr);
    return 2;
  }
  try {
    const simdjson::padded_string json = simdjson::padded_string::load(argv[1]);
    ondemand::parser parser;
    ondemand::document_stream stream = parser.iterate_many(json);
    std::size_t documents = 0;
    Tally tally;
    for (auto document : stream) {
      ++documents;
      ++tally.values;
      for (auto field : document.get_object()) {
        tally.text_bytes += std::string_view(field.unescaped_key()).size();
        touch(field.value(), tally);
      }
    }
    if (stream.truncated_bytes() != 0) {
      std::fputs("simdjson_stream: the last document is truncated\n", stderr);
      return 1;
    }
    std::printf("%zu documents, %zu values: %zu doubles, %zu true, %zu null, %zu bytes of text\n",
                documents, tally.values, tally.doubles, tally.trues, tally.nulls, tally.text_bytes);
    return 0;
  } catch (const simdjson::simdjson_error& error) {
    std::fprintf(stderr, "simdjson_stream: %s\n", error.what());
    return 1;
  }
}
