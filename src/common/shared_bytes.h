#pragma once

#include <memory>
#include <string>

// Bytes built once and shared by every session that sends them; never copied per client.
using SharedBytes = std::shared_ptr<const std::string>;
