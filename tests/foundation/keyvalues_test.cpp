#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"

#include "kvtestutil.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

TEST(KeyValues, GettersConvertTheNodeInPlace)
{
    CKeyValuesAutoDelete kv(new KeyValues("conv"));
    kv->SetInt("i", -42);
    kv->SetFloat("f", 1.5f);
    kv->SetUint64("u", 0xFFFFFFFFFFFFFFFFull);
    kv->SetWString("w", u"h\u00e9llo w\u00f6rld, long enough for the heap");
    kv->SetColor("c", 1, 2, 3, 4);
    kv->SetBinary("b", "bytes", 5);
    kv->FindKey("sect", true)->SetString("x", "y");

    EXPECT_STREQ("-42", kv->GetString("i"));
    EXPECT_EQ(KeyValues::TYPE_STRING, kv->FindKey("i")->GetDataType());
    EXPECT_STREQ("1.500000", kv->GetString("f"));
    EXPECT_EQ(KeyValues::TYPE_STRING, kv->FindKey("f")->GetDataType());
    EXPECT_STREQ("-1", kv->GetString("u"));
    EXPECT_STREQ("h\xc3\xa9llo w\xc3\xb6rld, long enough for the heap", kv->GetString("w"));
    EXPECT_EQ(KeyValues::TYPE_STRING, kv->FindKey("w")->GetDataType());
    EXPECT_STREQ("dflt", kv->GetString("c", "dflt"));
    EXPECT_EQ(KeyValues::TYPE_COLOR, kv->FindKey("c")->GetDataType());
    EXPECT_STREQ("bytes", kv->GetString("b"));
    EXPECT_EQ(KeyValues::TYPE_BINARY, kv->FindKey("b")->GetDataType());
    EXPECT_STREQ("dflt", kv->GetString("sect", "dflt"));
    EXPECT_STREQ("dflt", kv->GetString("missing", "dflt"));
    EXPECT_EQ(nullptr, kv->FindKey("missing"));

    // And back the other way.
    kv->SetInt("i2", 7);
    EXPECT_EQ(std::u16string(u"7"), kv->GetWString("i2"));
    EXPECT_EQ(KeyValues::TYPE_WSTRING, kv->FindKey("i2")->GetDataType());
    kv->SetString("s", "gr\xc3\xbc\xc3\x9f dich");
    EXPECT_EQ(std::u16string(u"gr\u00fc\u00df dich"), kv->GetWString("s"));
    EXPECT_EQ(KeyValues::TYPE_WSTRING, kv->FindKey("s")->GetDataType());
    kv->SetUint64("u2", 5);
    EXPECT_EQ(std::u16string(u"5"), kv->GetWString("u2"));
    EXPECT_EQ(std::u16string(u"d"), kv->GetWString("sect", u"d"));
    EXPECT_EQ(std::u16string(u"d"), kv->GetWString("c", u"d"));

    int nPointee = 0;
    kv->SetPtr("p", &nPointee);
    EXPECT_EQ(&nPointee, kv->GetPtr("p"));
    EXPECT_EQ(std::to_string((int)(intptr_t)&nPointee), kv->GetString("p"));
    EXPECT_EQ(nullptr, kv->GetPtr("p"));
    int cub = 0;
    const uint8 *pub = kv->GetBinary("b", &cub);
    ASSERT_NE(nullptr, pub);
    EXPECT_EQ(5, cub);
    EXPECT_EQ(0, memcmp(pub, "bytes", 5));
}

TEST(KeyValues, GetIntAndGetUint64StatusCodes)
{
    CKeyValuesAutoDelete kv(new KeyValues("ints"));
    kv->SetString("num", "12");
    kv->SetString("tail", "12abc");
    kv->SetString("empty", "");
    kv->SetString("hex", "0x1F");
    kv->SetString("word", "abc");
    kv->SetFloat("f", -2.7f);
    kv->SetUint64("small", 0xFFFFFFF0ull);
    kv->SetUint64("big", 0x100000000ull);
    kv->SetWString("w", u"77");
    kv->SetWString("wbad", u"7x");
    kv->SetInt("neg", -1);

    EKVConversionStatus eStatus = k_EKVConversionSuccess;
    EXPECT_EQ(9, kv->GetInt("missing", 9, &eStatus));
    EXPECT_EQ(k_EKVConversionNoKey, eStatus);
    EXPECT_EQ(12, kv->GetInt("num", 9, &eStatus));
    EXPECT_EQ(k_EKVConversionSuccess, eStatus);
    EXPECT_EQ(12, kv->GetInt("tail", 9, &eStatus));
    EXPECT_EQ(k_EKVConversionNotNumeric, eStatus);
    EXPECT_EQ(9, kv->GetInt("empty", 9, &eStatus));
    EXPECT_EQ(k_EKVConversionNotNumeric, eStatus);
    EXPECT_EQ(31, kv->GetInt("hex", 9, &eStatus));
    EXPECT_EQ(k_EKVConversionSuccess, eStatus);
    EXPECT_EQ(0, kv->GetInt("word", 9, &eStatus));
    EXPECT_EQ(k_EKVConversionNotNumeric, eStatus);
    EXPECT_EQ(-2, kv->GetInt("f", 9, &eStatus));
    EXPECT_EQ(k_EKVConversionSuccess, eStatus);
    EXPECT_EQ((int)0xFFFFFFF0u, kv->GetInt("small", 9, &eStatus));
    EXPECT_EQ(77, kv->GetInt("w", 9, &eStatus));
    EXPECT_EQ(k_EKVConversionSuccess, eStatus);
    EXPECT_EQ(7, kv->GetInt("wbad", 9, &eStatus));
    EXPECT_EQ(k_EKVConversionNotNumeric, eStatus);
    EXPECT_EQ(9, kv->GetInt("", 9, &eStatus)); // a section has no number
    EXPECT_EQ(k_EKVConversionNotNumeric, eStatus);
    // The getters read without changing the type.
    EXPECT_EQ(KeyValues::TYPE_STRING, kv->FindKey("num")->GetDataType());

    {
        CSpewCapture capture;
        EXPECT_EQ(9, kv->GetInt("big", 9, &eStatus));
        EXPECT_EQ(std::vector<std::string>{"Assertion Failed: can't convert uint64 to int32 (data loss)\n"},
                  capture.Assertions());
        capture.Clear();
        EXPECT_EQ(12, kv->GetInt("tail"));
        EXPECT_EQ(
            std::vector<std::string>{
                "Assertion Failed: GetIntFromString() did not get correct peCS parameter\n"},
            capture.Assertions());
        capture.Clear();
        EXPECT_EQ(3u, kv->GetUint64("tail2", 3)); // missing: no assertion
        EXPECT_EQ(12u, kv->GetUint64("tail"));
        EXPECT_EQ(
            std::vector<std::string>{
                "Assertion Failed: GetUint64FromString() did not get correct peCS parameter\n"},
            capture.Assertions());
    }

    kv->SetString("max", "18446744073709551615");
    EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, kv->GetUint64("max", 0, &eStatus));
    EXPECT_EQ(k_EKVConversionSuccess, eStatus);
    kv->SetString("minus", "-1");
    EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, kv->GetUint64("minus", 0, &eStatus));
    EXPECT_EQ(0xFFFFFFFFull, kv->GetUint64("neg", 0, &eStatus)); // 32-bit words are zero-extended
    EXPECT_EQ((uint64)(int64)-2, kv->GetUint64("f", 0, &eStatus));
    kv->SetWString("wneg", u"-3");
    EXPECT_EQ((uint64)(int64)-3, kv->GetUint64("wneg", 0, &eStatus));
    EXPECT_EQ(0x100000000ull, kv->GetUint64("big", 0, &eStatus));
    kv->SetFloat("huge", 3e10f);
    EXPECT_EQ(INT_MAX, kv->GetInt("huge", 0, &eStatus));
    kv->SetWString("wempty", u"");
    EXPECT_EQ(0x123456789ull, kv->GetUint64("wempty", 0x123456789ull, &eStatus));
    EXPECT_EQ(k_EKVConversionNotNumeric, eStatus);
    EXPECT_EQ(4u, kv->GetUint64("", 4, &eStatus));
    EXPECT_EQ(k_EKVConversionNotNumeric, eStatus);
}

TEST(KeyValues, SettersReplaceValuesAndChildren)
{
    CKeyValuesAutoDelete kv(new KeyValues("set"));
    // Inline and heap storage on both sides of the boundary.
    for (const char *pch : {"", "1234567", "12345678", "a much longer text that lives on the heap"})
    {
        kv->SetString("s", pch);
        EXPECT_STREQ(pch, kv->GetString("s"));
    }
    for (const char16_t *pwch : {u"", u"abc", u"abcd", u"a longer wide text"})
    {
        kv->SetWString("w", pwch);
        EXPECT_EQ(std::u16string(pwch), kv->GetWString("w"));
    }
    kv->SetString("null", nullptr);
    EXPECT_STREQ("", kv->GetString("null", "dflt"));
    EXPECT_EQ(KeyValues::TYPE_STRING, kv->FindKey("null")->GetDataType());

    // A node's own text may be the new value.
    kv->SetString("self", "a text long enough to be on the heap");
    kv->SetString("self", kv->GetString("self") + 2);
    EXPECT_STREQ("text long enough to be on the heap", kv->GetString("self"));
    kv->SetString("selfshort", "abcdef");
    kv->SetString("selfshort", kv->GetString("selfshort") + 1);
    EXPECT_STREQ("bcdef", kv->GetString("selfshort"));

    // A value given to a section frees its children; a child under a value frees the value.
    kv->SetString("tree/leaf", "x");
    KeyValues *pTree = kv->FindKey("tree");
    pTree->SetString(nullptr, kv->GetString("tree/leaf"));
    EXPECT_EQ(KeyValues::TYPE_STRING, pTree->GetDataType());
    EXPECT_STREQ("x", pTree->GetString());
    EXPECT_EQ(nullptr, pTree->GetFirstSubKey());
    pTree->CreateKey("again");
    EXPECT_EQ(KeyValues::TYPE_NONE, pTree->GetDataType());
    EXPECT_EQ((std::vector<std::string>{"again"}), ChildNames(pTree));
    EXPECT_TRUE(kv->IsEmpty("tree/again"));
    EXPECT_FALSE(kv->IsEmpty("tree"));

    pTree->Clear();
    EXPECT_STREQ("tree", pTree->GetName());
    EXPECT_EQ(nullptr, pTree->GetFirstSubKey());

    CKeyValuesAutoDelete kvOne(new KeyValues("one", "key", "value"));
    EXPECT_STREQ("value", kvOne->GetString("key"));
    CKeyValuesAutoDelete kvInt(new KeyValues("int", "key", 17));
    EXPECT_EQ(17, kvInt->GetInt("key"));
    EXPECT_EQ(KeyValues::TYPE_INT, kvInt->FindKey("key")->GetDataType());
    CKeyValuesAutoDelete kvTwo(new KeyValues("two", "k1", "v1", "k2", "v2"));
    EXPECT_EQ((std::vector<std::string>{"k1", "k2"}), ChildNames(kvTwo.Get()));
    CKeyValuesAutoDelete kvSym(new KeyValues(kvTwo->GetNameSymbol()));
    EXPECT_STREQ("two", kvSym->GetName());
}

TEST(KeyValues, FindKeyWithPathsCreationAndWalkers)
{
    CKeyValuesAutoDelete kv(new KeyValues("nav"));
    KeyValues *pDeep = kv->FindKey("NavA/NavB/NavC", true);
    ASSERT_NE(nullptr, pDeep);
    EXPECT_EQ(pDeep, kv->FindKey("nava/navb/navc"));
    EXPECT_EQ(pDeep, kv->FindKey("/NavA//NavB/NavC/"));
    EXPECT_EQ(kv.Get(), kv->FindKey(""));
    EXPECT_EQ(kv.Get(), kv->FindKey(nullptr));
    EXPECT_EQ(nullptr, kv->FindKey("NavA/NavX"));
    EXPECT_EQ(nullptr, kv->FindKey("NavA/NeverInternedAnywhere123"));
    EXPECT_EQ(0, KeyValuesSystem()->GetSymbol("NeverInternedAnywhere123", false));

    // Creation copies the escape flag down.
    kv->FindKey("NavA")->UsesEscapeSequences(true);
    KeyValues *pCreated = kv->FindKey("NavA/Escaped", true);
    EXPECT_TRUE(pCreated->HasEscapeSequences());
    EXPECT_FALSE(pDeep->HasEscapeSequences());

    KeyValues *pA = kv->FindKey("NavA");
    pA->SetString("v1", "x");
    pA->SetInt("v2", 2);
    EXPECT_EQ((std::vector<std::string>{"NavB", "Escaped", "v1", "v2"}), ChildNames(pA));
    std::vector<std::string> vecSections;
    for (KeyValues *p = pA->GetFirstTrueSubKey(); p; p = p->GetNextTrueSubKey())
        vecSections.push_back(p->GetName());
    EXPECT_EQ((std::vector<std::string>{"NavB", "Escaped"}), vecSections);
    std::vector<std::string> vecValues;
    for (KeyValues *p = pA->GetFirstValue(); p; p = p->GetNextValue())
        vecValues.push_back(p->GetName());
    EXPECT_EQ((std::vector<std::string>{"v1", "v2"}), vecValues);

    KeyValues *pB = pA->FindKey("NavB");
    pA->RemoveSubKey(pB);
    EXPECT_EQ(nullptr, pB->GetNextKey());
    EXPECT_EQ((std::vector<std::string>{"Escaped", "v1", "v2"}), ChildNames(pA));
    pA->AddSubKey(pB);
    EXPECT_EQ((std::vector<std::string>{"Escaped", "v1", "v2", "NavB"}), ChildNames(pA));
    pA->RemoveSubKey(pDeep); // not a child: nothing happens
    EXPECT_EQ(4u, ChildNames(pA).size());
}

TEST(KeyValues, CompareCopyAndMerge)
{
    CLoadedText kvA("\"t\" { \"s\" \"x\" \"n\" \"1\" \"sub\" { \"a\" \"b\" } }");
    CLoadedText kvB("\"other\" { \"s\" \"x\" \"n\" \"1\" \"sub\" { \"a\" \"b\" } }");
    EXPECT_TRUE(kvA->IsEqual(kvB.Get())); // the roots' own names are not compared
    kvB->SetString("sub/a", "c");
    EXPECT_FALSE(kvA->IsEqual(kvB.Get()));
    kvB->SetString("sub/a", "b");
    kvB->SetInt("n", 2);
    EXPECT_FALSE(kvA->IsEqual(kvB.Get()));
    kvB->SetString("n", "1");
    EXPECT_FALSE(kvA->IsEqual(kvB.Get())); // a string is not an integer
    kvB->SetInt("n", 1);
    kvB->SetString("extra", "e");
    EXPECT_FALSE(kvA->IsEqual(kvB.Get()));
    EXPECT_FALSE(kvA->IsEqual(nullptr));

    // Child names count, in order.
    CLoadedText kvRenamed("\"t\" { \"s\" \"x\" \"m\" \"1\" \"sub\" { \"a\" \"b\" } }");
    EXPECT_FALSE(kvA->IsEqual(kvRenamed.Get()));

    {
        CSpewCapture capture;
        CKeyValuesAutoDelete kvC1(new KeyValues("c"));
        CKeyValuesAutoDelete kvC2(new KeyValues("c"));
        kvC1->SetColor(nullptr, 1, 2, 3, 4);
        kvC2->SetColor(nullptr, 9, 9, 9, 9);
        EXPECT_TRUE(kvC1->IsEqual(kvC2.Get()));
        EXPECT_EQ(std::vector<std::string>{"Assertion Failed: false\n"}, capture.Assertions());
    }

    CKeyValuesAutoDelete kvCopy(kvA->MakeCopy());
    EXPECT_STREQ("t", kvCopy->GetName());
    EXPECT_TRUE(kvA->IsEqual(kvCopy.Get()));
    kvCopy->SetString("sub/a", "changed");
    EXPECT_STREQ("b", kvA->GetString("sub/a"));
    EXPECT_EQ(nullptr, kvCopy->GetNextKey());

    // CopyFrom keeps the name and may copy from inside its own tree.
    KeyValues *pSub = kvCopy->FindKey("sub");
    kvCopy->CopyFrom(*pSub);
    EXPECT_STREQ("t", kvCopy->GetName());
    EXPECT_EQ((std::vector<std::string>{"a"}), ChildNames(kvCopy.Get()));
    EXPECT_STREQ("changed", kvCopy->GetString("a"));
    KeyValues *pA = kvCopy->FindKey("a");
    pA->CopyFrom(*pA);
    EXPECT_STREQ("changed", kvCopy->GetString("a"));

    // Merge: differing values are replaced, missing ones appended; sections merge, replace a
    // same-named value, or are appended.
    CLoadedText kvBase(
        "\"base\" { \"keep\" \"1\" \"change\" \"old\" \"val2sec\" \"v\" \"sec\" { \"x\" \"1\" } }");
    CLoadedText kvOver("\"over\" { \"change\" \"new\" \"keep\" \"1\" \"added\" \"a\" "
                       "\"sec\" { \"x\" \"2\" \"y\" \"3\" } \"val2sec\" { \"z\" \"4\" } \"newsec\" { } }");
    kvBase->MergeFrom(kvOver.Get());
    EXPECT_EQ("\"base\"\n{\n"
              "\t\"keep\"\t\t\"1\"\n"
              "\t\"change\"\t\t\"new\"\n"
              "\t\"sec\"\n\t{\n\t\t\"x\"\t\t\"2\"\n\t\t\"y\"\t\t\"3\"\n\t}\n"
              "\t\"added\"\t\t\"a\"\n"
              "\t\"val2sec\"\n\t{\n\t\t\"z\"\t\t\"4\"\n\t}\n"
              "\t\"newsec\"\n\t{\n\t}\n"
              "}\n",
              WrittenText(kvBase.Get(), false));
}

TEST(KeyValues, WriterFormatsEveryType)
{
    CSpewCapture capture;
    CKeyValuesAutoDelete kv(new KeyValues("WriterRoot"));
    kv->SetString("WrStr", "a\"b\\c");
    kv->SetInt("WrInt", -5);
    kv->SetFloat("WrFlt", 0.1f);
    kv->SetUint64("WrU64", 0xFFFFFFFFFFFFFFFFull);
    kv->SetWString("Wide\"Name", u"w\u00e9\"q");
    int n = 0;
    kv->SetPtr("WrPtr", &n);
    kv->SetColor("WrCol", 1, 2, 3, 4);
    kv->SetBinary("WrBin", "xy", 2);
    kv->FindKey("WrSub/WrDeeper", true)->SetString("WrK", "v");
    kv->FindKey("WrSub")->UsesEscapeSequences(true);
    kv->FindKey("WrSub")->SetString("WrEsc", "back\\slash");
    kv->FindKey("WrSub/WrEsc")->UsesEscapeSequences(true);

    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    EXPECT_TRUE(kv->WriteAsText(buf, false));
    std::string strText((const char *)buf.Base(), (size_t)buf.TellMaxPut());
    EXPECT_EQ("\"WriterRoot\"\n"
              "{\n"
              "\t\"WrStr\"\t\t\"a\\\"b\\c\"\n"
              "\t\"WrInt\"\t\t\"-5\"\n"
              "\t\"WrFlt\"\t\t\"0.100000001490116119\"\n"
              "\t\"WrU64\"\t\t\"-1\"\n"
              "\t\"Wide\"Name\"\t\t\"w\xc3\xa9\\\"q\"\n"
              "\t\"WrSub\"\n"
              "\t{\n"
              "\t\t\"WrDeeper\"\n"
              "\t\t{\n"
              "\t\t\t\"WrK\"\t\t\"v\"\n"
              "\t\t}\n"
              "\t\t\"WrEsc\"\t\t\"back\\\\slash\"\n"
              "\t}\n"
              "}\n",
              strText);
    EXPECT_EQ(
        1, capture.CountContaining("KeyValues::RecursiveSaveToFile: TODO, missing code for TYPE_COLOR.\n"));
    EXPECT_EQ(
        std::vector<std::string>{"Assertion Failed: KeyValues::RecursiveSaveToFile: TODO, missing code for "
                                 "saving binary data to file.\n"},
        capture.Assertions());

    std::string strFlags =
        WrittenText(kv.Get(), false, KeyValues::k_ESaveLowerCaseNames | KeyValues::k_ESaveUint64Unsigned);
    EXPECT_NE(std::string::npos, strFlags.find("\"writerroot\"\n{\n\t\"wrstr\"\t\t\"a\\\"b\\c\"\n"));
    EXPECT_NE(std::string::npos, strFlags.find("\t\"wru64\"\t\t\"18446744073709551615\"\n"));
    EXPECT_NE(std::string::npos, strFlags.find("\t\t\"wrdeeper\"\n"));

    // Peers are written one block after the other; a full buffer reports failure.
    CKeyValuesAutoDelete kvPeers(new KeyValues("p1", "WrPeerKey", "v"));
    kvPeers->SetNextKey(new KeyValues("p2"));
    EXPECT_EQ("\"p1\"\n{\n\t\"WrPeerKey\"\t\t\"v\"\n}\n\"p2\"\n{\n}\n", WrittenText(kvPeers.Get()));
    EXPECT_EQ("\"p1\"\n{\n\t\"WrPeerKey\"\t\t\"v\"\n}\n", WrittenText(kvPeers.Get(), false));
    char rgchSmall[16];
    CUtlBuffer bufSmall(rgchSmall, sizeof(rgchSmall), CUtlBuffer::TEXT_BUFFER);
    EXPECT_FALSE(kvPeers->WriteAsText(bufSmall, true));
}

TEST(KeyValues, LoadFromStringClearsFirst)
{
    CKeyValuesAutoDelete kv(new KeyValues("reload"));
    ASSERT_TRUE(kv->LoadFromString("one", "\"a\" { \"x\" \"1\" }"));
    ASSERT_TRUE(kv->LoadFromString("two", "\"b\" { \"y\" \"2\" }"));
    EXPECT_STREQ("b", kv->GetName());
    EXPECT_EQ((std::vector<std::string>{"y"}), ChildNames(kv.Get()));
    EXPECT_TRUE(kv->LoadFromString("null", nullptr));
    EXPECT_EQ(nullptr, kv->GetFirstSubKey());

    // Peers of an earlier load are kept after the new blocks, not lost.
    ASSERT_TRUE(kv->LoadFromString("peers", "\"p1\" { } \"p2\" { }"));
    ASSERT_TRUE(kv->LoadFromString("peers", "\"q1\" { } \"q2\" { }"));
    std::vector<std::string> vecPeers;
    for (KeyValues *p = kv.Get(); p; p = p->GetNextKey())
        vecPeers.push_back(p->GetName());
    EXPECT_EQ((std::vector<std::string>{"q1", "q2", "p2"}), vecPeers);

    // Loading into a node that is not cleared appends after what is there.
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    buf.PutString("\"c\" { \"z\" \"3\" }");
    kv->SetString("first", "f");
    ASSERT_TRUE(kv->LoadFromBuffer("three", buf));
    EXPECT_STREQ("c", kv->GetName());
    EXPECT_EQ((std::vector<std::string>{"first", "z"}), ChildNames(kv.Get()));

    CSpewCapture capture;
    CUtlBuffer bufBinary;
    bufBinary.PutString("\"d\" { }");
    kv->LoadFromBuffer("binary", bufBinary);
    EXPECT_TRUE(capture.BContains("Assertion Failed: buf.GetFlags() & CUtlBuffer::TEXT_BUFFER"));
}
