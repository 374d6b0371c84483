// The dividend's description as the output carries it: only a stated pixel
// type or page count that the output does not have is rewritten.
#include <gtest/gtest.h>

#include <string>

#include "app/app.h"

TEST(OutputDescription, PixelTypesAndPageCountsTheOutputDoesNotHave)
{
    const char *ome = "<OME><Image><Pixels ID=\"Pixels:0\" Type=\"float\" SignificantBits='32' SizeZ=\"4\">"
                      "<Channel/></Pixels><Instrument><Detector Type=\"CCD\"/></Instrument></Image></OME>";
    struct Case {
        const char *what, *text;
        uint32_t pages;
        const char *expected;
    } cases[] = {
        {"plain text", "frame 7, Type=\"float\"", 3, "frame 7, Type=\"float\""},
        {"OME-XML: only the Pixels tag", ome, 4,
         "<OME><Image><Pixels ID=\"Pixels:0\" Type=\"uint16\" SignificantBits='16' SizeZ=\"4\">"
         "<Channel/></Pixels><Instrument><Detector Type=\"CCD\"/></Instrument></Image></OME>"},
        {"OME-XML with a prefix", "<ome:OME><ome:Pixels\nType=\"int8\"/></ome:OME>", 1,
         "<ome:OME><ome:Pixels\nType=\"uint16\"/></ome:OME>"},
        {"OME-XML, one channel of two", "<OME><Pixels SizeZ=\"1\" SizeC=\"2\" SizeT=\"3\" Type=\"float\">"
         "<TiffData IFD=\"0\" PlaneCount=\"6\"/></Pixels></OME>", 3,
         "<OME><Pixels SizeZ=\"1\" SizeC=\"1\" SizeT=\"3\" Type=\"uint16\"><TiffData IFD=\"0\" PlaneCount=\"3\"/>"
         "</Pixels></OME>"},
        {"ImageJ, right already", "ImageJ=1.54f\nimages=12\nchannels=2\nframes=6\nhyperstack=true\n", 12,
         "ImageJ=1.54f\nimages=12\nchannels=2\nframes=6\nhyperstack=true\n"},
        {"ImageJ, one channel of two", "ImageJ=1.54f\nimages=12\nchannels=2\nframes=6\nhyperstack=true\nmin=0", 6,
         "ImageJ=1.54f\nimages=6\nframes=6\nhyperstack=true\nmin=0"},
        {"ImageJ, a cut stack", "ImageJ=1.54f\nimages=40\nslices=40\nunit=micron\n", 30,
         "ImageJ=1.54f\nimages=30\nunit=micron\n"},
        {"ImageJ, a cut hyperstack", "ImageJ=1.54f\nimages=12\nchannels=2\nframes=6\nhyperstack=true\n", 5,
         "ImageJ=1.54f\nimages=5\n"},
    };
    for (const Case &c : cases) {
        char *got = output_description(c.text, c.pages);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(std::string(got), c.expected) << c.what;
        release_memory(got);
    }
}
