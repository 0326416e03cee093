// Inputs the fuzz targets in tests/fuzz found faulty, kept as unit tests.
#include <cfloat>
#include <cmath>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "json/compact_json_writer.h"

namespace {

Json::Value readBack(const std::string& text)
{
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text << ": " << errors;
    return value;
}

} // namespace

// Sixteen significant digits of a double within 1e-15 of the largest one round beyond it: the text read back
// as an overflow instead of the number.
TEST(FuzzRegressionTest, RealsNearTheLargestDoubleReadBackFinite)
{
    const double largest = DBL_MAX;
    const double cases[] = {
        largest, -largest, std::nextafter(largest, 0.0), -std::nextafter(largest, 0.0), 1.797693134862315e308, 1e308};
    for (const double x : cases) {
        SCOPED_TRACE(x);
        const std::string text = formatJsonReal(x);
        const double read = std::strtod(text.c_str(), nullptr);
        EXPECT_TRUE(std::isfinite(read)) << text;
        EXPECT_LE(std::fabs(read - x), 1e-15 * std::fabs(x)) << text;

        Json::Value array(Json::arrayValue);
        array.append(x);
        const Json::Value back = readBack(CompactJsonWriter().write(array));
        ASSERT_TRUE(back.isArray() && back.size() == 1u && back[0].isDouble());
        EXPECT_LE(std::fabs(back[0].asDouble() - x), 1e-15 * std::fabs(x));
    }
}
