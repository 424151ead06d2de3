#pragma once
// Streamed multipart/form-data bodies. The builder collects parts; the body
// stream produces boundaries, part headers and part bodies in order and reads
// file contents only while the transport pulls bytes, so memory use does not
// depend on the size of the files. The total length is known in advance.

#include "http/string_encoding.h"
#include "http/url_request.h"
#include "platform/core/error.h"

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <limits>
#include <memory>
#include <vector>

// Stream status values.
enum class NSStreamStatus : unsigned {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

// NSURLErrorBadURL: code of the errors of appending a file part by URL.
inline constexpr qint64 NSURLErrorBadURL = -1000;

// The MIME type for a file name's extension, "application/octet-stream"
// when unknown.
QString CVContentTypeForPathExtension(const QString &fileName);

// "Boundary+" followed by two random 32-bit values as 16 upper-case hex digits.
QString CVCreateMultipartFormBoundary();

class CVHTTPBodyPart {
public:
    enum Phase {
        CVEncapsulationBoundaryPhase = 1,
        CVHeaderPhase = 2,
        CVBodyPhase = 3,
        CVFinalBoundaryPhase = 4
    };

    CVHTTPBodyPart() = default;
    ~CVHTTPBodyPart();
    CVHTTPBodyPart(const CVHTTPBodyPart &) = delete;
    CVHTTPBodyPart &operator=(const CVHTTPBodyPart &) = delete;

    KCStringEncoding stringEncoding = KCStringEncoding::UTF8;
    QString boundary;
    KCHeaderList headers;
    // One of: QByteArray (bytes), QUrl (a local file, read when pulled),
    // std::shared_ptr<QIODevice> (a readable stream). Anything else is empty.
    QVariant body;
    qint64 bodyContentLength = 0;
    // For a stream body on a random-access device: where the body starts, so
    // that a copy of the part reads it again from there.
    qint64 bodyStreamOffset = -1;
    bool hasInitialBoundary = false;
    bool hasFinalBoundary = false;

    // A copy with the same headers, body, length and boundary that reads from
    // the start (a file body is read again from the file).
    std::unique_ptr<CVHTTPBodyPart> copy() const;

    // Opening boundary + header text + body length + closing boundary, in bytes.
    qint64 contentLength() const;
    bool hasBytesAvailable() const;
    // Reads up to `length` bytes, continuing where the last call stopped.
    // Returns the number of bytes written, 0 when the part is exhausted, or
    // -1 when the body source failed (see streamError()).
    qint64 read(char *buffer, qint64 length);
    KCError streamError() const { return m_error; }
    Phase phase() const { return m_phase; }

private:
    QByteArray openingText() const;
    QByteArray headerText() const;
    QByteArray closingText() const;
    qint64 readText(char *buffer, qint64 length);
    qint64 readBody(char *buffer, qint64 length);
    bool openInputStream();
    void closeInputStream();
    void transitionToNextPhase();

    Phase m_phase = CVEncapsulationBoundaryPhase;
    qint64 m_phaseReadOffset = 0;
    QByteArray m_phaseText; // text of the current boundary or header phase
    bool m_phaseTextValid = false;
    qint64 m_bodyBytesRead = 0;
    bool m_inputOpened = false;
    bool m_inputFinished = false;
    std::shared_ptr<QIODevice> m_inputStream;
    KCError m_error;
};

// The request body stream. A sequential QIODevice whose size() is the full
// content length; opened unbuffered so that every read goes straight to the
// parts. read() returns 0 at the end of the body, and -1 (with
// streamError() set) when a part's source fails before anything was written.
// Once closed, the stream cannot be opened again; copy() reads the body anew.
class CVMultipartBodyStream : public QIODevice {
    Q_OBJECT
public:
    explicit CVMultipartBodyStream(KCStringEncoding encoding = KCStringEncoding::UTF8);
    ~CVMultipartBodyStream() override;

    KCStringEncoding stringEncoding() const { return m_encoding; }
    // Most bytes returned by one read (no limit by default), and seconds to
    // sleep after each part read (none by default).
    qint64 numberOfBytesInPacket = std::numeric_limits<qint64>::max();
    double delay = 0;

    void setInitialAndFinalBoundaries();
    void appendHTTPBodyPart(std::unique_ptr<CVHTTPBodyPart> part);
    bool isEmpty() const { return m_parts.empty(); }
    const std::vector<std::unique_ptr<CVHTTPBodyPart>> &HTTPBodyParts() const { return m_parts; }
    qint64 contentLength() const;

    NSStreamStatus streamStatus() const { return m_status; }
    KCError streamError() const { return m_error; }
    // True exactly while the stream is open.
    bool hasBytesAvailable() const { return m_status == NSStreamStatus::Open; }

    // A new, unopened stream over copies of every part, reading from the start.
    std::shared_ptr<CVMultipartBodyStream> copy() const;

    // QIODevice
    bool open(OpenMode mode = QIODevice::ReadOnly) override;
    void close() override;
    bool isSequential() const override { return true; }
    qint64 size() const override { return contentLength(); }
    qint64 bytesAvailable() const override;
    bool atEnd() const override;

protected:
    qint64 readData(char *data, qint64 maxlen) override;
    qint64 writeData(const char *data, qint64 len) override;

private:
    KCStringEncoding m_encoding;
    std::vector<std::unique_ptr<CVHTTPBodyPart>> m_parts;
    size_t m_currentPart = 0;
    qint64 m_bytesRead = 0;
    mutable qint64 m_contentLength = -1; // cached; -1 when it must be summed again
    bool m_finished = false;
    NSStreamStatus m_status = NSStreamStatus::NotOpen;
    KCError m_error;
};

class CVStreamingMultipartFormData {
public:
    CVStreamingMultipartFormData(const KCURLRequest &request, KCStringEncoding encoding);

    KCURLRequest request() const { return m_request; }
    KCStringEncoding stringEncoding() const { return m_encoding; }
    QString boundary() const { return m_boundary; }
    std::shared_ptr<CVMultipartBodyStream> bodyStream() const { return m_bodyStream; }

    // A file part read from a local file while the body is pulled. Fails
    // (returns false, appends nothing) for a URL that is not a file URL, a
    // file that does not exist, or one whose attributes cannot be read.
    bool appendPartWithFileURL(const QUrl &fileURL, const QString &name, const QString &fileName,
                               const QString &mimeType, KCError *error = nullptr);
    // As above with the URL's last path component as file name and the MIME
    // type of its extension.
    bool appendPartWithFileURL(const QUrl &fileURL, const QString &name, KCError *error = nullptr);
    // A part read from `inputStream`; exactly `length` bytes of it are sent.
    void appendPartWithInputStream(std::shared_ptr<QIODevice> inputStream, const QString &name,
                                   const QString &fileName, qint64 length, const QString &mimeType);
    void appendPartWithFileData(const QByteArray &data, const QString &name, const QString &fileName,
                                const QString &mimeType);
    void appendPartWithFormData(const QByteArray &data, const QString &name);
    void appendPartWithHeaders(const KCHeaderList &headers, const QByteArray &body);

    void throttleBandwidthWithPacketSize(qint64 numberOfBytes, double delay);

    // The request with the body stream, "Content-Type" and "Content-Length"
    // set; unchanged when no part was added.
    KCURLRequest requestByFinalizingMultipartFormData();

private:
    void appendPart(const KCHeaderList &headers, const QVariant &body, qint64 length);

    KCURLRequest m_request;
    KCStringEncoding m_encoding;
    QString m_boundary;
    std::shared_ptr<CVMultipartBodyStream> m_bodyStream;
};

Q_DECLARE_METATYPE(std::shared_ptr<QIODevice>)
