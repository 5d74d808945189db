#include "server/json_text.h"

#include <utility>
#include <vector>

using nlohmann::json;

std::string dumpCompact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string dumpIndented(const json& value) {
  return value.dump(1, ' ', false, json::error_handler_t::replace);
}

JsonTooDeep::JsonTooDeep() : json::exception(0, "JSON nests too deeply") {}

namespace {

// Builds the value from the events of the library's SAX interface, as
// json::parse does, with a count of open arrays and objects that refuses to
// open one more than the bound. The events come in the parser's order, so a
// text is refused at exactly the point where it first nests too deeply, and
// every other failure is the parser's own exception, rethrown as it is.
class BoundedBuilder {
 public:
  BoundedBuilder(json& result, int maxDepth) : result_(result), maxDepth_(maxDepth) {}

  bool null() { return place(nullptr); }
  bool boolean(bool value) { return place(value); }
  bool number_integer(json::number_integer_t value) { return place(value); }
  bool number_unsigned(json::number_unsigned_t value) { return place(value); }
  bool number_float(json::number_float_t value, const json::string_t& /*text*/) { return place(value); }
  bool string(json::string_t& value) { return place(value); }
  bool binary(json::binary_t& value) { return place(std::move(value)); }

  bool start_object(std::size_t /*size*/) { return open(json::value_t::object); }
  bool key(json::string_t& name) {
    // A repeated key lands on the same member, so the last value wins.
    member_ = &open_.back()->get_ref<json::object_t&>()[name];
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t /*size*/) { return open(json::value_t::array); }
  bool end_array() { return close(); }

  // Called with the parser's own parse_error or out_of_range (a number too
  // large for a double); thrown as that type, so callers see what
  // json::parse would have thrown.
  template <class Exception>
  bool parse_error(std::size_t /*position*/, const std::string& /*lastToken*/, const Exception& error) {
    throw error;
  }

 private:
  template <class Value>
  bool place(Value&& value) {
    store(std::forward<Value>(value));
    return true;
  }
  bool open(json::value_t type) {
    if (static_cast<int>(open_.size()) >= maxDepth_) throw JsonTooDeep();
    open_.push_back(store(type));
    return true;
  }
  bool close() {
    open_.pop_back();
    return true;
  }
  // Puts a new value where the text has it: the whole result, the next
  // element of the innermost array, or the member whose key came last.
  template <class Value>
  json* store(Value&& value) {
    if (open_.empty()) {
      result_ = json(std::forward<Value>(value));
      return &result_;
    }
    if (open_.back()->is_array()) {
      json::array_t& elements = open_.back()->get_ref<json::array_t&>();
      elements.emplace_back(std::forward<Value>(value));
      return &elements.back();
    }
    *member_ = json(std::forward<Value>(value));
    return member_;
  }

  json& result_;
  const int maxDepth_;
  // The arrays and objects opened and not yet closed, outermost first.
  std::vector<json*> open_;
  json* member_ = nullptr;
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
