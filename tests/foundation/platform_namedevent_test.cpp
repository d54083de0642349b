// Named events on POSIX: signalling between handles, the private namespaces, and the
// leftovers of a creator that died.
#include "foundation/platform/namedevent.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <semaphore.h>
#include <string>
#include <unistd.h>

namespace
{
const char k_pchName[] = "Global\\Ferro_NamedEventTest";

class NamedEventTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_strNamespace = "ferro-test-" + std::to_string(getpid());
        setenv("FERRO_IPC_NAMESPACE", m_strNamespace.c_str(), 1);
    }
    void TearDown() override
    {
        sem_unlink(SemaphoreName().c_str());
        for (const char *pchSuffix : {".owner", ".ready"})
            unlink(("/dev/shm/" + SemaphoreName().substr(1) + pchSuffix).c_str());
        unsetenv("FERRO_IPC_NAMESPACE");
    }
    std::string SemaphoreName() const { return "/" + m_strNamespace + ".Global.Ferro_NamedEventTest"; }
    std::string m_strNamespace;
};
} // namespace

TEST_F(NamedEventTest, OpenersSignalTheCreatorAndSignalsDoNotAddUp)
{
    EXPECT_EQ(nullptr, PLAT_OpenNamedEvent(k_pchName)) << "nobody created it yet";

    PlatNamedEvent_t hCreated = PLAT_CreateNamedEvent(k_pchName);
    ASSERT_NE(nullptr, hCreated);
    EXPECT_FALSE(PLAT_WaitNamedEvent(hCreated, 0)) << "created not signalled";

    PlatNamedEvent_t hOpened = PLAT_OpenNamedEvent(k_pchName);
    ASSERT_NE(nullptr, hOpened);
    EXPECT_TRUE(PLAT_SetNamedEvent(hOpened));
    EXPECT_TRUE(PLAT_SetNamedEvent(hOpened));
    EXPECT_TRUE(PLAT_WaitNamedEvent(hCreated, 0));
    EXPECT_FALSE(PLAT_WaitNamedEvent(hCreated, 0)) << "two signals, one wake-up";
    EXPECT_FALSE(PLAT_WaitNamedEvent(hOpened, 0)) << "an opened handle only signals";

    // A second create while the creator lives shares its event, as on Windows.
    PlatNamedEvent_t hSecond = PLAT_CreateNamedEvent(k_pchName);
    ASSERT_NE(nullptr, hSecond);
    EXPECT_TRUE(PLAT_SetNamedEvent(hSecond));
    EXPECT_TRUE(PLAT_WaitNamedEvent(hCreated, 0));
    PLAT_CloseNamedEvent(hSecond);
    EXPECT_TRUE(PLAT_SetNamedEvent(hOpened)) << "closing a sharer leaves the event";
    EXPECT_TRUE(PLAT_WaitNamedEvent(hCreated, 1));

    // The creator's close takes the name away; handles already open stay usable.
    PLAT_CloseNamedEvent(hCreated);
    EXPECT_EQ(nullptr, PLAT_OpenNamedEvent(k_pchName));
    EXPECT_TRUE(PLAT_SetNamedEvent(hOpened));
    PLAT_CloseNamedEvent(hOpened);
    PLAT_CloseNamedEvent(nullptr);
    EXPECT_FALSE(PLAT_SetNamedEvent(nullptr));
    EXPECT_FALSE(PLAT_WaitNamedEvent(nullptr, 0));
}

TEST_F(NamedEventTest, LeftoverOfACreatorThatDiedIsNeitherOpenedNorReused)
{
    // What a crashed creator leaves: the semaphore, signalled, and no lock held.
    sem_t *pLeftover = sem_open(SemaphoreName().c_str(), O_CREAT, 0600, 0);
    ASSERT_NE(SEM_FAILED, pLeftover);
    sem_post(pLeftover);
    sem_close(pLeftover);
    EXPECT_EQ(nullptr, PLAT_OpenNamedEvent(k_pchName)) << "a signal would go to nobody";

    PlatNamedEvent_t hCreated = PLAT_CreateNamedEvent(k_pchName);
    ASSERT_NE(nullptr, hCreated);
    EXPECT_FALSE(PLAT_WaitNamedEvent(hCreated, 0)) << "the old signal went with the leftover";
    PlatNamedEvent_t hOpened = PLAT_OpenNamedEvent(k_pchName);
    ASSERT_NE(nullptr, hOpened);
    EXPECT_TRUE(PLAT_SetNamedEvent(hOpened));
    EXPECT_TRUE(PLAT_WaitNamedEvent(hCreated, 0));
    PLAT_CloseNamedEvent(hOpened);
    PLAT_CloseNamedEvent(hCreated);
}

TEST_F(NamedEventTest, NamespacesKeepEventsApartAndBadNamesAreRefused)
{
    PlatNamedEvent_t hCreated = PLAT_CreateNamedEvent(k_pchName);
    ASSERT_NE(nullptr, hCreated);
    setenv("FERRO_IPC_NAMESPACE", (m_strNamespace + "-other").c_str(), 1);
    EXPECT_EQ(nullptr, PLAT_OpenNamedEvent(k_pchName));
    setenv("FERRO_IPC_NAMESPACE", "bad/namespace", 1);
    EXPECT_EQ(nullptr, PLAT_OpenNamedEvent(k_pchName));
    EXPECT_EQ(nullptr, PLAT_CreateNamedEvent(k_pchName));
    setenv("FERRO_IPC_NAMESPACE", m_strNamespace.c_str(), 1);
    PlatNamedEvent_t hSlash = PLAT_OpenNamedEvent("Global/Ferro_NamedEventTest");
    EXPECT_NE(nullptr, hSlash) << "either slash maps alike";
    PLAT_CloseNamedEvent(hSlash);

    EXPECT_EQ(nullptr, PLAT_CreateNamedEvent(""));
    EXPECT_EQ(nullptr, PLAT_OpenNamedEvent(nullptr));
    EXPECT_EQ(nullptr, PLAT_CreateNamedEvent(std::string(300, 'n').c_str())) << "longer than a file name";
    PLAT_CloseNamedEvent(hCreated);
}
