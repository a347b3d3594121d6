// The reference host's event lines: whatever a client sends (a NaN size, bytes that are not UTF-8 in
// a name), each line is one JSON object that a strict parser takes, with its keys in order.

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>

#include "json_line.h"

using Overlay::Host::JsonLine;

TEST(HostJsonLine, IsStrictJsonOnOneLineWhateverTheClientSends)
{
    const std::string line = JsonLine("requestShowTest")
                                 .number("relativeWidth", std::numeric_limits<double>::quiet_NaN())
                                 .number("relativeHeight", -std::numeric_limits<double>::infinity())
                                 .number("color", -16711936)
                                 .text("version", std::string("26\xff\xc3(\x80\"\n", 8))
                                 .rect("bounds", 1, 2, 3, 4)
                                 .str();
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto event = nlohmann::ordered_json::parse(line);  // throws on bad JSON or bad UTF-8
    EXPECT_EQ(event.dump(),
              R"({"event":"requestShowTest","relativeWidth":null,"relativeHeight":null,"color":-16711936,)"
              "\"version\":\"26\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\\\"\\n\","
              R"("bounds":{"left":1,"top":2,"right":3,"bottom":4}})");
}
