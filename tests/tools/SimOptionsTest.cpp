#include "settings/WallClock.h"
#include "tools/dvrsim/SimOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(SimOptionsTest, ParsesEveryKindOfValueAndFault)
{
    SimOptions options;
    std::string strMessage;
    ASSERT_EQ(0, ParseSimOptions({"--server", "10.1.2.3", "--port=6000", "--vehicles", "3", "--prefix", "BUS",
                                  "--channels", "8", "--recordings", "0", "--rec-seconds", "60", "--rec-gap=5",
                                  "--rec-bytes", "64K", "--start", "20130305140209", "--types", "timing,alarm,7",
                                  "--keepalive-ms", "250", "--duration", "9", "--quiet", "--cut-after", "1M",
                                  "--cut-count", "2", "--refuse", "503", "--refuse-count", "1", "--silent",
                                  "--connect-delay", "100", "--header-pieces", "3", "--piece-pause", "5",
                                  "--wrong-size", "-10", "--extra-bytes", "2G", "--linger", "40", "--unsafe",
                                  "file,device", "--keepalive-stop", "30", "--check-address"},
                                 &options, &strMessage))
        << strMessage;
    EXPECT_EQ("10.1.2.3", options.strServerIp);
    EXPECT_EQ(6000, options.nServerPort);
    EXPECT_EQ(8, options.nChannels);
    EXPECT_EQ(0, options.nRecordings);
    EXPECT_EQ(5u, options.nRecGapSeconds);
    EXPECT_EQ(65536u, options.nRecBytes);
    EXPECT_EQ(WallClockFromFields(2013, 3, 5, 14, 2, 9), options.tStart);
    EXPECT_EQ((std::vector<std::uint8_t> {0, 2, 7}), options.vecRecordTypes);
    EXPECT_EQ(0, options.nVerbosity);
    EXPECT_EQ(1u << 20, options.faults.nCutAfterBytes);
    EXPECT_EQ(503, options.faults.nRefuseStatus);
    EXPECT_TRUE(options.faults.bSilent);
    EXPECT_EQ(-10, options.faults.nSizeDelta);
    EXPECT_EQ(2u << 30, options.faults.nExtraBytes);
    EXPECT_TRUE(options.faults.bUnsafeFile && options.faults.bUnsafeDevice && !options.faults.bUnsafeVehicle);
    EXPECT_EQ(30, options.faults.nKeepAliveStopS);
    EXPECT_EQ((std::vector<std::string> {"BUS001", "BUS002", "BUS003"}), SimVehicleNames(options));
    EXPECT_EQ(0.0, options.dLossPercent);
    EXPECT_EQ(1u, options.nLossSeed);

    // Loss: a fraction of a percent with a seed, a whole percent keeps the seed given
    // before, and a name takes all 32 bytes of its field.
    const std::string strName32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    options = SimOptions();
    ASSERT_EQ(0, ParseSimOptions({"--loss", "0.5,18446744073709551615", "--names", strName32 + ",B"}, &options,
                                 &strMessage))
        << strMessage;
    EXPECT_EQ(0.5, options.dLossPercent);
    EXPECT_EQ(18446744073709551615u, options.nLossSeed);
    EXPECT_EQ((std::vector<std::string> {strName32, "B"}), SimVehicleNames(options));
    ASSERT_EQ(0, ParseSimOptions({"--loss=100"}, &options, &strMessage)) << strMessage;
    EXPECT_EQ(100.0, options.dLossPercent);
    EXPECT_EQ(18446744073709551615u, options.nLossSeed);
    ASSERT_EQ(0, ParseSimOptions({"--loss", "0,7"}, &options, &strMessage)) << strMessage;
    EXPECT_EQ(0.0, options.dLossPercent);
    EXPECT_EQ(7u, options.nLossSeed);

    // The request and keepalive faults.
    options = SimOptions();
    ASSERT_EQ(0, ParseSimOptions({"--withhold-reply", "--double-connect=2", "--connect-delay", "9000",
                                  "--connect-delay-count", "1", "--foreign-header", "device,file:3", "--wrong-channel",
                                  "--short-keepalive", "--short-datagram"},
                                 &options, &strMessage))
        << strMessage;
    const SimFaults& f = options.faults;
    EXPECT_TRUE(f.bWithholdReply);
    EXPECT_EQ(0u, f.nWithholdReplyCount);
    EXPECT_TRUE(f.bDoubleConnect);
    EXPECT_EQ(2u, f.nDoubleConnectCount);
    EXPECT_EQ(9000, f.nConnectDelayMs);
    EXPECT_EQ(1u, f.nConnectDelayCount);
    // The alias adds the channel and keeps the count given before.
    EXPECT_TRUE(f.bForeignDevice && f.bForeignFile && f.bWrongChannel);
    EXPECT_EQ(3u, f.nForeignHeaderCount);
    EXPECT_TRUE(f.bShortKeepAlive);
    EXPECT_EQ(1u, f.nShortDatagramEvery);

    SimOptions counted;
    ASSERT_EQ(0, ParseSimOptions({"--withhold-reply=4", "--foreign-header=channel", "--short-datagram=7"}, &counted,
                                 &strMessage))
        << strMessage;
    EXPECT_EQ(4u, counted.faults.nWithholdReplyCount);
    EXPECT_TRUE(counted.faults.bWrongChannel && !counted.faults.bForeignDevice && !counted.faults.bForeignFile);
    EXPECT_EQ(0u, counted.faults.nForeignHeaderCount);
    EXPECT_EQ(7u, counted.faults.nShortDatagramEvery);
    EXPECT_FALSE(counted.faults.bShortKeepAlive || counted.faults.bDoubleConnect);
}

TEST(SimOptionsTest, RejectsBadValuesNamingTheOption)
{
    struct Case {
        std::vector<std::string> vecArgs;
        const char* szMention;
    };
    const Case cases[] = {
        {{"--channels", "0"}, "--channels: '0'"},
        {{"--channels", "65"}, "--channels"},
        {{"--port", "70000"}, "--port"},
        {{"--port", "12ab"}, "--port"},
        {{"--server", "host.example"}, "--server"},
        {{"--rec-bytes", "5G"}, "--rec-bytes"},
        {{"--rec-bytes", "-1"}, "--rec-bytes"},
        {{"--rec-seconds", "0"}, "--rec-seconds"},
        {{"--start", "20131305000000"}, "--start"},
        {{"--start", "2013"}, "--start"},
        {{"--types", "timing,weekly"}, "--types"},
        {{"--types", "255"}, "--types"},
        {{"--refuse", "200"}, "--refuse"},
        {{"--wrong-size", "0"}, "--wrong-size"},
        {{"--cut-after", "0"}, "--cut-after"},
        {{"--header-pieces", "81"}, "--header-pieces"},
        {{"--unsafe", "path"}, "--unsafe"},
        {{"--unsafe", "vehicle,device"}, "--unsafe"},
        {{"--vehicles"}, "--vehicles needs a value"},
        {{"--silent=1"}, "--silent takes no value"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--prefix", "ABCDEFGHIJKLMNOPQRSTUVWXYZABC"}, "--prefix"},
        {{"--names", "A,,B"}, "--names"},
        {{"--names", "A,B,A"}, "'A' is given twice"},
        {{"--names", "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFG"}, "--names"},
        {{"--names", "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDE", "--unsafe", "vehicle"}, "does not fit 32 characters"},
        {{"--loss", "100.5"}, "--loss: '100.5'"},
        {{"--loss", "-1"}, "--loss"},
        {{"--loss", ".5"}, "--loss"},
        {{"--loss", "5."}, "--loss"},
        {{"--loss", "1.2.3"}, "--loss"},
        {{"--loss", "1e1"}, "--loss"},
        {{"--loss", "nan"}, "--loss"},
        {{"--loss", "5,"}, "--loss"},
        {{"--loss", "5,-1"}, "--loss"},
        {{"--loss", "5,0x10"}, "--loss"},
        {{"--loss", "5,18446744073709551616"}, "--loss"},
        {{"--loss"}, "--loss needs a value"},
        {{"--withhold-reply="}, "--withhold-reply: '' is not"},
        {{"--withhold-reply=-1"}, "--withhold-reply"},
        {{"--withhold-reply", "3"}, "unknown option '3'"},
        {{"--double-connect=two"}, "--double-connect"},
        {{"--connect-delay-count", "-1"}, "--connect-delay-count"},
        {{"--foreign-header", "disk"}, "--foreign-header"},
        {{"--foreign-header", "device:"}, "--foreign-header"},
        {{"--foreign-header", "file,"}, "--foreign-header"},
        {{"--foreign-header"}, "--foreign-header needs a value"},
        {{"--foreign-header", "device", "--unsafe", "device"}, "exclude each other"},
        {{"--short-keepalive=1"}, "--short-keepalive takes no value"},
        {{"--short-datagram=0"}, "--short-datagram"},
    };
    for (const Case& c : cases) {
        SimOptions options;
        std::string strMessage;
        EXPECT_EQ(-1, ParseSimOptions(c.vecArgs, &options, &strMessage)) << c.vecArgs[0];
        EXPECT_NE(std::string::npos, strMessage.find(c.szMention)) << strMessage;
    }
}

TEST(SimOptionsTest, HelpDescribesEveryOption)
{
    SimOptions options;
    std::string strMessage;
    ASSERT_EQ(1, ParseSimOptions({"--port", "1", "--help"}, &options, &strMessage));
    for (const char* sz : {"--server", "--port", "--local-ip", "--vehicles", "--prefix", "--names", "--channels",
                           "--recordings", "--rec-seconds", "--rec-gap", "--rec-bytes", "--start", "--types",
                           "--keepalive-ms", "--duration", "--verbosity", "--quiet", "--cut-after", "--cut-count",
                           "--refuse", "--refuse-count", "--silent", "--connect-delay", "--header-pieces",
                           "--piece-pause", "--wrong-size", "--extra-bytes", "--linger", "--unsafe",
                           "--keepalive-stop", "--withhold-reply[=N]", "--double-connect[=N]",
                           "--connect-delay-count", "--foreign-header", "--wrong-channel", "--short-keepalive",
                           "--short-datagram[=N]", "--loss P[,SEED]", "--check-address"})
        EXPECT_NE(std::string::npos, strMessage.find(sz)) << sz;
    // Every option in the text is one the parser knows.
    std::size_t nPos = 0;
    while ((nPos = strMessage.find("  --", nPos)) != std::string::npos) {
        std::size_t nEnd = strMessage.find_first_of(" \n[", nPos + 2);
        std::string strOption = strMessage.substr(nPos + 2, nEnd - nPos - 2);
        SimOptions probe;
        std::string strProbe;
        ParseSimOptions({strOption}, &probe, &strProbe);
        EXPECT_EQ(std::string::npos, strProbe.find("unknown option")) << strOption;
        nPos = nEnd;
    }
}
