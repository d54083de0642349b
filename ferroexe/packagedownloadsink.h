// CPackageDownloadSink: one package's body written straight into its ".part" file as it
// arrives (the HTTP client's body sink, http/httpbodysink.h), so that a package of any
// size the signed manifest names passes through bounded memory. It takes exactly that
// size: a body that would pass it is refused at the first byte too many.
//
// A ".part" that an earlier attempt left (this run or an earlier one) is continued: the
// request asks for the rest with a Range header; a 206 whose Content-Range starts where the
// part ends appends, a 200 starts the part over, a 416 or a range that does not fit leaves
// the part to be discarded. The digest of the whole archive decides afterwards.
//
// The SHA-1 and SHA-256 of the part are taken as its bytes are written (on a thread of their
// own, so the receiving thread only receives and writes), so a finished archive is never
// read back to be checked; a part that an attempt continues without those digests at hand
// (one left by an earlier run) is hashed from the disk once.
//
// Threads: PrepareRequest and FinishAttempt on the updater thread while no request of
// this sink is in flight; BeginBody and BReceiveBody on the main thread (the HTTP
// client's) while one is; CubOnDisk from any thread.
#pragma once

#include "crypto/streamdigest.h"
#include "foundation/basetypes.h"
#include "http/httpbodysink.h"

#include <atomic>
#include <memory>
#include <string>

class CHTTPClientRequest;
class IInstallFileOps;
class IInstallFileWriter;

class CPackageDownloadSink : public IHTTPBodySink
{
public:
    enum EFailure
    {
        k_EFailureNone,
        k_EFailureTooLong,       // the server sends (or announces) more than the package
        k_EFailureRangeMismatch, // a 206 for another range, or a 416
        k_EFailureWrite,         // the part could not be written (m_nWriteErrno)
    };

    CPackageDownloadSink(IInstallFileOps &ops, const std::string &strPartPath, uint64 cubPackage);

    // Before each attempt: measures the part (one longer than the package is deleted and
    // *pbDiscarded set), adds the Range header when there is something to continue, and
    // returns the bytes already on disk. A part of the whole size needs no request.
    uint64 PrepareRequest(CHTTPClientRequest *pRequest, bool *pbDiscarded);
    // After the request completed: closes the file; false when what was written did not
    // all reach the disk.
    bool FinishAttempt();
    // Deletes the part (its bytes are no good) and starts from nothing.
    void DiscardPart();
    // The check ended while a request was in flight: the next bytes refuse the request, so
    // nothing more is written to a part that a later check may be continuing. Any thread.
    void Abandon() { m_bAbandoned = true; }

    EBodyStart BeginBody(CHTTPClientResponse *pResponse, int64 cubLength) override;
    bool BReceiveBody(const void *pubData, uint32 cubData) override;

    uint64 CubOnDisk() const { return m_cubOnDisk.load(); }
    uint64 CubThisAttempt() const { return m_cubThisAttempt.load(); }
    uint64 CubPackage() const { return m_cubPackage; }
    // The announced length of a 200 that was longer than the package (0 if none).
    uint64 CubAnnounced() const { return m_cubAnnounced; }
    EFailure GetFailure() const { return m_eFailure; }
    int GetWriteErrno() const { return m_nWriteErrno; }
    const std::string &GetPartPath() const { return m_strPartPath; }
    // The digests of the part once all its bytes are written (updater thread, no request
    // in flight): the SHA-1 bytes and the SHA-256 in lower-case hex. False when the bytes on
    // disk were not all hashed (the part cannot be read back). Consumes the digests.
    bool BFinalDigests(uint8 *pubSHA1, std::string *pstrSHA256);

protected:
    ~CPackageDownloadSink() override;

private:
    EBodyStart Refuse(EFailure eFailure);
    bool BOpenPart(bool bAppend);
    // The digests start over at the first byte.
    void ResetDigests();
    // The digests cover exactly the cubPart bytes of the part on disk: read once when they
    // do not already. False when the part cannot be read.
    bool BHashPartOnDisk(uint64 cubPart);

    IInstallFileOps &m_Ops;
    const std::string m_strPartPath;
    const uint64 m_cubPackage;
    uint64 m_cubRequestedFrom = 0; // the Range start of the attempt (0: the whole package)
    uint64 m_cubAnnounced = 0;
    std::atomic<uint64> m_cubOnDisk{0};
    std::atomic<uint64> m_cubThisAttempt{0};
    std::atomic<bool> m_bAbandoned{false};
    EFailure m_eFailure = k_EFailureNone;
    int m_nWriteErrno = 0;
    std::unique_ptr<IInstallFileWriter> m_pWriter;
    CStreamDigest m_Digest;
    // Bytes of the part the digests hold; k_cubNotHashed when they hold none that count.
    static const uint64 k_cubNotHashed = ~0ull;
    uint64 m_cubHashed = 0;
};

// Whether "bytes FIRST-LAST/TOTAL" (a Content-Range) describes exactly the bytes from
// cubFrom to the end of a cubTotal-byte file (TOTAL may be "*").
bool BContentRangeContinues(const char *pchContentRange, uint64 cubFrom, uint64 cubTotal);

// Whether the SHA-1 bytes are the one the archive name ends with ("<name>.zip.<sha1>").
bool BSHA1MatchesArchiveName(const char *pchArchiveName, const uint8 *pubSHA1);

// Reads the file in pieces once: whether its SHA-1 is the one its archive name ends with
// ("<name>.zip.<sha1>"), and its SHA-256 in lower-case hex. False when it cannot be read or
// the SHA-1 differs.
bool BCheckPackageFileSHA1(const char *pchArchiveName, const char *pchPath, std::string *pstrSHA256);
