// A signed list made once by the publisher's tool (GenerateSigningKey, then
// AppendSignature, publish/signing.h) and checked with `openssl dgst -sha256 -verify`:
// the fixed case both builds verify, so the Windows build's CNG is held to what the
// tool's OpenSSL signs. Its key's private half was not kept.
#pragma once

namespace zdtest {

// PUBLICKEY= text, and the same point in hex.
inline constexpr char kVectorPublicKey[] = "BGXk2Ryl3g/GZAslZUhZH/4c1dwQpl5/pJT70zwOvihMcLVZknCG06gMstQccu0lbydmZz7NH9GHSQQ+LsgHslg=";
inline constexpr char kVectorPublicPointHex[] =
    "0465e4d91ca5de0fc6640b256548591ffe1cd5dc10a65e7fa494fbd33c0ebe284c"
    "70b559927086d3a80cb2d41c72ed256f2766673ecd1fd18749043e2ec807b258";
// r || s of its signature line, in hex.
inline constexpr char kVectorSignatureHex[] =
    "8e6168514687179327387ff8ada88ed47670854f9b05bc85385dd2566b95f104"
    "6fa38149a439e8013e08f1b5670f90a5c1ab3931243e68f2aebfefc7f02029f6";

// The stored bytes of the files it lists, whose hashes its hash lines give.
struct VectorFile {
  const char* remote;
  const char* content;
  int size;
};
inline constexpr VectorFile kVectorFiles[] = {
    {"Data/Map01.dat.1f0c5b2a9e4d7763", "Map01 data\n", 11},
    {"Data/Big.pak.6a7d02c4b1e95f38.gz", "the packed bytes of Data/Big.pa", 31},
    {"ZidoDiruv.exe.c3e1a9f0027b4d5e", "patcher!", 8},
    {"/notice/Notice.txt", "hello\n", 6},
};

inline constexpr char kVectorSignedList[] =
    "# ZidoDiruv patch list: kind, date, time, size, local name, remote name\r\n"
    "# Listed dates and times are local time in Asia/Seoul\r\n"
    "#zd-signed format=1 sequence=7 expires=2031-01-01T00:00:00Z\r\n"
    "C 2002-06-01 14:30 11 Data\\Map01.dat Data/Map01.dat.1f0c5b2a9e4d7763\r\n"
    "#zd-sha256 14a42da9b177eb91a4091fb156725961afc637b69b031275f5dd1cbad10eb560 11 Data/Map01.dat.1f0c5b2a9e4d7763\r\n"
    "Z 2002-06-01 14:30 1048576:31 Data\\Big.pak Data/Big.pak.6a7d02c4b1e95f38.gz\r\n"
    "#zd-sha256 7638289dd821d932be1f91806066813160efabafd1adb156745a8d1546b4e77d 31 Data/Big.pak.6a7d02c4b1e95f38.gz\r\n"
    "P 2002-06-02 09:00 8 ZidoDiruv.exe ZidoDiruv.exe.c3e1a9f0027b4d5e\r\n"
    "#zd-sha256 bd5732e3804188e128f996977c5dc8f1882743546cc1248cb687dab2adf383dc 8 ZidoDiruv.exe.c3e1a9f0027b4d5e\r\n"
    "A 2002-06-02 09:00 6 Notice.txt /notice/Notice.txt\r\n"
    "#zd-sha256 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 6 /notice/Notice.txt\r\n"
    "D 2002-06-02 09:00 0 Data\\Old.dat Data/Old.dat\r\n"
    "#zd-signature da09fc221079e2d4 jmFoUUaHF5MnOH/4raiO1HZwhU+bBbyFOF3SVmuV8QRvo4FJpDnoAT4I8bVnD5Clwas5MSQ+aPKuv+/H8CAp9g==\r\n";

}  // namespace zdtest
