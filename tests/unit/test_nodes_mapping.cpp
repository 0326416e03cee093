#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "conversion/node_conversion.h"
#include "device/message_type.h"
#include "test_node_conversion_support.h"

using namespace conversion_test;

namespace {

class NodesMapping : public RegisteredNodes {
protected:
    const NodeConversion& mapping() const { return *registry.findNodeConversion("mapping", 0, 0); }

    // The decoded properties of a record built by the editor's mapping converter.
    Json::Value roundTrip(const char* properties) const
    {
        const SerialMessage record = encodeNode(mapping(), parseJson(properties));
        return decodeNode(conversion(record.type()), record, record.type() == MT_NODE_MAPPING ? 89 : 154);
    }
};

// Pair i of the area at offset as "x,y" hex.
std::string pairHex(const SerialMessage& record, int offset, int pair)
{
    return hexOfBytes(record.bytes + offset + 1 + 8 * pair, 8);
}

} // namespace

TEST_F(NodesMapping, RecordsAndDecodedProperties)
{
    const NodeTypeCase cases[] = {
        {MT_NODE_MAPPING, 89,
         R"({"prop_source": 0.5, "miny": -1, "maxy": 2, "points": [0, 0, 0.5, 0.25, 1, 1], "prop_mapping_type": 0,
             "prop_mapping_miny": 7, "prop_mapping_points": "1;2"})",
         "00 0000003F  000080BF  00000040  03  00000000 00000000  0000003F 0000803E  0000803F 0000803F" + zeroHex(40),
         "00 00000000  00000000  0000803F  00" + zeroHex(64),
         R"({"prop_mapping_maxx":1,"prop_mapping_maxy":2,"prop_mapping_minx":0.0,"prop_mapping_miny":-1,)"
         R"("prop_mapping_points":"0.000000;0.500000,0.250000;1.000000","prop_mapping_type":0,"prop_source":0.5})",
         R"({"prop_mapping_maxx":1,"prop_mapping_minx":0.0,"prop_mapping_points":"","prop_mapping_type":0,)"
         R"("prop_source":0.0})"},
        // The bidirectional converter is reached only for records from the board; its encoder writes the type.
        {MT_NODE_MAPPING_BIDIRECTIONAL, 154, R"({"prop_source": 3, "maxy": 2, "prop_mapping_type": 1})", zeroHex(143),
         zeroHex(143),
         R"({"prop_mapping_maxx":1,"prop_mapping_maxy":0.0,"prop_mapping_minx":0.0,"prop_mapping_points":"/",)"
         R"("prop_mapping_type":1,"prop_source":0.0})",
         R"({"prop_mapping_maxx":1,"prop_mapping_maxy":0.0,"prop_mapping_minx":0.0,"prop_mapping_points":"/",)"
         R"("prop_mapping_type":1,"prop_source":0.0})"},
    };
    for (const NodeTypeCase& c : cases)
        checkNodeTypeCase(registry, c);
}

TEST_F(NodesMapping, LookupByNameFindsTheOneWayConverter)
{
    EXPECT_EQ(mapping().nodeType, 36);
    EXPECT_EQ(conversion(MT_NODE_MAPPING_BIDIRECTIONAL).nodeType, 37);
    EXPECT_EQ(conversion(MT_NODE_MAPPING_BIDIRECTIONAL).name, "mapping");
}

TEST_F(NodesMapping, EncoderChoosesTheMessageTypeAndListsPoints)
{
    struct Case {
        const char* properties;
        int messageType;
        int forwardPairs;
        int reversePairs;
    } cases[] = {
        {R"({"prop_mapping_type": 0, "points": [1, 2, 3, 4, 5], "points_reverse": [1, 2]})", MT_NODE_MAPPING, 2, 0},
        {R"({"prop_mapping_type": 1, "points": [1, 2, 3, 4, 5], "points_reverse": [1, 2]})",
         MT_NODE_MAPPING_BIDIRECTIONAL, 2, 1},
        {R"({"prop_mapping_type": true, "points_reverse": [1, 2, 3, 4]})", MT_NODE_MAPPING_BIDIRECTIONAL, 0, 2},
        {R"({"prop_mapping_type": -1})", MT_NODE_MAPPING_BIDIRECTIONAL, 0, 0},
        {R"({"prop_mapping_type": 2.0, "points": [1, 2]})", MT_NODE_MAPPING, 1, 0},
        {R"({"prop_mapping_type": "1", "points": null})", MT_NODE_MAPPING, 0, 0},
        {R"({"prop_mapping_type": 5000000000, "points": "1,2"})", MT_NODE_MAPPING, 0, 0},
        {R"({"points": {"0": 1, "1": 2}})", MT_NODE_MAPPING, 0, 0},
        {R"({"points": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20]})", MT_NODE_MAPPING, 8,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.properties);
        const SerialMessage record = encodeNode(mapping(), parseJson(c.properties));
        EXPECT_EQ(record.type(), c.messageType);
        EXPECT_EQ(record.bytes[24], c.forwardPairs);
        EXPECT_EQ(record.bytes[89], c.reversePairs);
        for (int i = 0; i < 8; ++i) {
            const float x = static_cast<float>(2 * i + 1);
            SerialMessage expected;
            if (i < c.forwardPairs) {
                writeF32(expected.bytes, x);
                writeF32(expected.bytes + 4, x + 1);
            }
            EXPECT_EQ(pairHex(record, 24, i), hexOfBytes(expected.bytes, 8)) << "forward pair " << i;
            if (i >= c.reversePairs) {
                EXPECT_EQ(pairHex(record, 89, i), zeroHex(8)) << "reverse pair " << i;
            }
        }
    }
}

TEST_F(NodesMapping, PointCoordinatesThatAreNotNumbersTakeZero)
{
    const SerialMessage record =
        encodeNode(mapping(), parseJson(R"({"points": ["a", [1], {"x": 1}, null, true, 2.5, "#3"]})"));
    EXPECT_EQ(record.bytes[24], 3);
    EXPECT_EQ(hexOfBytes(record.bytes + 25, 24), "0000000000000000"
                                                 "0000000000000000"
                                                 "0000803F00002040");
}

TEST_F(NodesMapping, PointsTextAndXRange)
{
    struct Case {
        const char* properties;
        const char* points;
        const char* minX;
        const char* maxX;
    } cases[] = {
        {R"({"points": [0, 0, 0.5, 0.25, 1, 1]})", "0.000000;0.500000,0.250000;1.000000", "0.0", "1"},
        {R"({"points": []})", "", "0.0", "1"},
        {R"({"points": [0.3, 0.7]})", "0.700000", "0.3", "0.3"},
        {R"({"points": [-2, 5, 4, -6]})", "5.000000;-6.000000", "-2", "4"},
        {R"({"prop_mapping_type": 1, "points": [2, 0.5, 3, 1], "points_reverse": [0.5, 2, 1, 3, 1.5, 4]})",
         "0.500000;1.000000/2.000000;1.000000,3.000000;4.000000", "2", "3"},
        {R"({"prop_mapping_type": 1, "points_reverse": [0.5, 2, 1, 3]})", "/2.000000;3.000000", "0.5", "1"},
        {R"({"prop_mapping_type": 1})", "/", "0.0", "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.properties);
        const Json::Value properties = roundTrip(c.properties)["properties"];
        EXPECT_EQ(properties["prop_mapping_points"].asString(), c.points);
        EXPECT_EQ(compact(properties["prop_mapping_minx"]), c.minX);
        EXPECT_EQ(compact(properties["prop_mapping_maxx"]), c.maxX);
    }
}

TEST_F(NodesMapping, XRangeIsTheWidenedF32)
{
    const Json::Value properties = roundTrip(R"({"points": [0.3, 0.7, 0.1, 0.2]})")["properties"];
    EXPECT_EQ(properties["prop_mapping_minx"].asDouble(), static_cast<double>(0.3f));
    EXPECT_EQ(properties["prop_mapping_maxx"].asDouble(), static_cast<double>(0.1f));
}

TEST_F(NodesMapping, OutputRangeFromTheBoardIsLimited)
{
    struct Case {
        float minY;
        float maxY;
        const char* properties; // without the points keys
    } cases[] = {
        {0.0f, 1.0f, R"({"prop_source":0.0})"},
        {-0.0f, 2.0f, R"({"prop_mapping_maxy":2,"prop_source":0.0})"},
        {NAN, NAN,
         R"({"prop_mapping_maxy":-3.402823466385289e+38,"prop_mapping_miny":3.402823466385289e+38,)"
         R"("prop_source":0.0})"},
        {INFINITY, -INFINITY,
         R"({"prop_mapping_maxy":-3.402823466385289e+38,"prop_mapping_miny":3.402823466385289e+38,)"
         R"("prop_source":0.0})"},
        {-INFINITY, INFINITY, R"({"prop_mapping_maxy":1e+9999,"prop_mapping_miny":-1e+9999,"prop_source":0.0})"},
    };
    for (const Case& c : cases) {
        SerialMessage record = encodeNode(mapping(), Json::Value());
        writeF32(record.bytes + 16, c.minY);
        writeF32(record.bytes + 20, c.maxY);
        Json::Value properties = decodeNode(mapping(), record, 89)["properties"];
        for (const char* key : {"prop_mapping_points", "prop_mapping_type", "prop_mapping_minx", "prop_mapping_maxx"})
            properties.removeMember(key);
        EXPECT_EQ(compact(properties), c.properties);
    }
}

TEST_F(NodesMapping, PointCountAboveEightFromTheBoardIsLimited)
{
    SerialMessage record = encodeNode(
        mapping(), parseJson(R"({"prop_mapping_type": 1, "points": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
                                  15, 16], "points_reverse": [0, 1]})"));
    record.bytes[24] = 200;
    record.bytes[89] = 9;
    const Json::Value properties = decodeNode(conversion(MT_NODE_MAPPING_BIDIRECTIONAL), record, 154)["properties"];
    EXPECT_EQ(properties["prop_mapping_points"].asString(),
              "2.000000;3.000000,4.000000;5.000000,6.000000;7.000000,8.000000;9.000000,10.000000;"
              "11.000000,12.000000;13.000000,14.000000;16.000000/1.000000;0.000000,0.000000;0.000000,0.000000;"
              "0.000000,0.000000;0.000000,0.000000;0.000000,0.000000;0.000000,0.000000;0.000000");
    EXPECT_EQ(compact(properties["prop_mapping_maxx"]), "15.0");
}

TEST_F(NodesMapping, GroupsAreReportedByTheirFirstMissingPart)
{
    struct Case {
        int messageType;
        int length;
        const char* properties;
        const char* label;
        int found;
    } cases[] = {
        {MT_NODE_MAPPING, 15, "", "node_mapping.source", 0},
        {MT_NODE_MAPPING, 20, R"({"prop_source":"#4"})", "node_mapping.maxy", 2},
        {MT_NODE_MAPPING, 24, R"({"prop_mapping_maxy":2,"prop_mapping_miny":-1,"prop_source":"#4"})",
         "node_mapping.numPoints", 3},
        {MT_NODE_MAPPING, 88, R"({"prop_mapping_maxy":2,"prop_mapping_miny":-1,"prop_source":"#4"})",
         "node_mapping.points", 4},
        {MT_NODE_MAPPING_BIDIRECTIONAL, 89, R"({"prop_mapping_maxy":2,"prop_mapping_miny":-1,"prop_source":"#4"})",
         "node_mapping_bidirectional.numPoints_reverse", 5},
        {MT_NODE_MAPPING_BIDIRECTIONAL, 153, R"({"prop_mapping_maxy":2,"prop_mapping_miny":-1,"prop_source":"#4"})",
         "node_mapping_bidirectional.points_reverse", 6},
    };
    const SerialMessage record =
        encodeNode(mapping(), parseJson(R"({"prop_mapping_type": 1, "prop_source": "#4", "miny": -1, "maxy": 2,
                                 "points": [1, 2], "points_reverse": [3, 4]})"));
    for (const Case& c : cases) {
        LogCapture capture;
        const NodeConversion& converter = conversion(c.messageType);
        EXPECT_EQ(compact(decodeNode(converter, record, c.length)), nodeText("mapping", c.properties, c.found));
        EXPECT_TRUE(capture.contains(std::string("Missing fields in message: ") + c.label)) << c.label;
    }
}
