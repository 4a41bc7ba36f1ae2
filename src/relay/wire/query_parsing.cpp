#include "relay/wire/query_parsing.h"

#include "common/string_helpers.h"

std::size_t DelimiterPos(std::size_t start, std::string_view text, std::string_view Delimiter) {
  const std::size_t found = text.find(Delimiter, start - 1);
  return found == std::string_view::npos ? text.size() + 1 : found + 1;
}

std::string CutToken(std::string& text, std::string_view Delimiter) {
  const std::size_t p = DelimiterPos(1, text, Delimiter);
  std::string token = text.substr(0, p - 1);
  const std::size_t rest = p - 1 + Delimiter.size();
  text = rest < text.size() ? text.substr(rest) : std::string();
  return token;
}

QueryParams ParseQuery(std::string request) {
  QueryParams params(1);
  CutToken(request, "?");
  std::string query = CutToken(request, " ");
  query = CutToken(query, "\r");
  query = CutToken(query, "\n");
  std::vector<std::string> pieces = SplitString(query, "&");
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    std::string key = CutToken(pieces[i], "=");
    if (!key.empty() && !pieces[i].empty())
      params.push_back({std::move(key), std::move(pieces[i])});
  }
  return params;
}

std::string GetParam(const QueryParams& params, std::string_view name) {
  const std::string wanted = LowerCase(name);
  std::string value;
  for (std::size_t i = 1; i < params.size(); ++i) {
    if (LowerCase(params[i].Key) == wanted) value = params[i].Value;
  }
  return value;
}
