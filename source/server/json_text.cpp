#include "server/json_text.h"

using nlohmann::json;

std::string dumpCompact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string dumpIndented(const json& value) {
  return value.dump(1, ' ', false, json::error_handler_t::replace);
}

JsonTooDeep::JsonTooDeep() : json::exception(0, "JSON nests too deeply") {}

namespace {

// The library's own builder of values, with a count of open arrays and
// objects that refuses to open one more than the bound. Its events come in
// the parser's order, so a text is refused at exactly the point where it
// first nests too deeply, and every other failure is the parser's own.
class BoundedBuilder : public nlohmann::detail::json_sax_dom_parser<json> {
  using Builder = nlohmann::detail::json_sax_dom_parser<json>;

 public:
  BoundedBuilder(json& result, int maxDepth) : Builder(result, true), maxDepth_(maxDepth) {}

  bool start_object(std::size_t size) {
    open();
    return Builder::start_object(size);
  }
  bool end_object() {
    --depth_;
    return Builder::end_object();
  }
  bool start_array(std::size_t size) {
    open();
    return Builder::start_array(size);
  }
  bool end_array() {
    --depth_;
    return Builder::end_array();
  }

 private:
  void open() {
    if (++depth_ > maxDepth_) throw JsonTooDeep();
  }
  int maxDepth_;
  int depth_ = 0;
};

}  // namespace

json parseBounded(const std::string& text, int maxDepth) {
  // The parser's callback could bound the depth too, but with a callback the
  // library searches the enclosing container after every object inside it
  // closes, which makes a text of many small objects take time that grows
  // with the square of its size.
  json result;
  BoundedBuilder builder(result, maxDepth);
  json::sax_parse(text, &builder, json::input_format_t::json, true, false);
  return result;
}
