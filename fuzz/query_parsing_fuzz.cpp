// Any request text through the query parser and the lookup, against a plain reading: the text
// after the first "?", up to the first space, CR or LF, split at every "&", each pair at its first
// "=", pairs with an empty key or value left out; a lookup takes the last key that matches in any
// ASCII case.
#include "common/string_helpers.h"
#include "fuzz_input.h"
#include "relay/wire/query_parsing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  std::vector<QueryParam> expected(1);
  const std::size_t mark = std::min(request.find('?'), request.size());
  const std::size_t end = std::min(request.find_first_of(" \r\n", mark), request.size());
  const std::string query = mark < end ? request.substr(mark + 1, end - mark - 1) : "";
  for (std::size_t begin = 0; begin < query.size();) {
    const std::string pair = query.substr(begin, query.find('&', begin) - begin);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos && equals > 0 && equals + 1 < pair.size())
      expected.push_back({pair.substr(0, equals), pair.substr(equals + 1)});
    begin += pair.size() + 1;
  }
  const QueryParams params = ParseQuery(request);
  Require(params.size() == expected.size(), "as many pairs as the plain reading");
  for (std::size_t i = 0; i < params.size(); ++i) {
    Require(params[i].Key == expected[i].Key && params[i].Value == expected[i].Value,
            "the same pairs in the same order");
    std::string name = params[i].Key, last;
    for (char& c : name) c = (c | 32) >= 'a' && (c | 32) <= 'z' ? static_cast<char>(c ^ 32) : c;
    for (const QueryParam& pair : expected)
      if (!pair.Key.empty() && LowerCase(pair.Key) == LowerCase(name)) last = pair.Value;
    Require(GetParam(params, name) == last, "a lookup finds the last pair of that key");
  }
  return 0;
}
