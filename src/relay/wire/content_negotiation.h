#pragma once

#include <string>
#include <string_view>

// What a whole request asks for, read from its headers. Only a request that names the new
// answers gets one; everything else gets the multipart stream it always got.

enum class AnswerKind { Multipart, EventStream, ViewerPage };

// The value of the first header line of that name (any case) in the request's first header
// block, without blanks around it; "" when there is none.
std::string HeaderValue(std::string_view request, std::string_view name);

// Whether an Accept value lists the media type (parameters and case aside; q=0 refuses it).
bool ListsMediaType(std::string_view accept, std::string_view type);

AnswerKind ChooseAnswer(std::string_view request);
