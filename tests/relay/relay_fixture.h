#pragma once

#include <gtest/gtest.h>

#include "support/relay_fakes.h"

class RelayTest : public ::testing::Test, protected FakeRelay {};
