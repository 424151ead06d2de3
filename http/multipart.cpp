#include "http/multipart.h"

#include "http/request_serializer.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QThread>
#include <algorithm>
#include <cstring>

namespace {

const QByteArray kCRLF("\r\n");

QByteArray encoded(const QString &text, KCStringEncoding encoding) {
    return KCEncodeText(text, encoding).value_or(text.toUtf8());
}

KCError fileError(qint64 code, const QString &description) {
    return KCError(NSCocoaErrorDomain, code, {{NSLocalizedDescriptionKey, description}});
}

constexpr qint64 kFileReadUnknownError = 256;
constexpr qint64 kFileReadNoPermissionError = 257;
constexpr qint64 kFileReadNoSuchFileError = 260;
constexpr int kStreamWaitMilliseconds = 30000;

KCHeaderList fileHeaders(const QString &name, const QString &fileName, const QString &mimeType) {
    return {
        {QStringLiteral("Content-Disposition"),
         QStringLiteral("form-data; name=\"%1\"; filename=\"%2\"").arg(name, fileName)},
        {QStringLiteral("Content-Type"), mimeType},
    };
}

} // namespace

QString CVContentTypeForPathExtension(const QString &fileName) {
    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault())
        return QStringLiteral("application/octet-stream");
    return type.name();
}

QString CVCreateMultipartFormBoundary() {
    QRandomGenerator *random = QRandomGenerator::system();
    const quint32 a = random->generate();
    const quint32 b = random->generate();
    return QString::asprintf("Boundary+%08X%08X", a, b);
}

// --- CVHTTPBodyPart ----------------------------------------------------------

CVHTTPBodyPart::~CVHTTPBodyPart() {
    closeInputStream();
}

std::unique_ptr<CVHTTPBodyPart> CVHTTPBodyPart::copy() const {
    auto part = std::make_unique<CVHTTPBodyPart>();
    part->stringEncoding = stringEncoding;
    part->boundary = boundary;
    part->headers = headers;
    part->body = body;
    part->bodyContentLength = bodyContentLength;
    part->bodyStreamOffset = bodyStreamOffset;
    part->hasInitialBoundary = hasInitialBoundary;
    part->hasFinalBoundary = hasFinalBoundary;
    return part;
}

QByteArray CVHTTPBodyPart::openingText() const {
    return hasInitialBoundary ? encoded(QStringLiteral("--%1\r\n").arg(boundary), stringEncoding)
                              : encoded(QStringLiteral("\r\n--%1\r\n").arg(boundary), stringEncoding);
}

QByteArray CVHTTPBodyPart::headerText() const {
    QString text;
    for (const auto &header : headers)
        text += QStringLiteral("%1: %2\r\n").arg(header.first, header.second);
    text += QStringLiteral("\r\n");
    return encoded(text, stringEncoding);
}

QByteArray CVHTTPBodyPart::closingText() const {
    return hasFinalBoundary ? encoded(QStringLiteral("\r\n--%1--\r\n").arg(boundary), stringEncoding)
                            : QByteArray();
}

qint64 CVHTTPBodyPart::contentLength() const {
    return openingText().size() + headerText().size() + bodyContentLength + closingText().size();
}

bool CVHTTPBodyPart::hasBytesAvailable() const {
    if (m_phase == CVFinalBoundaryPhase || !m_error.isNull())
        return true;
    return !m_inputFinished;
}

qint64 CVHTTPBodyPart::read(char *buffer, qint64 length) {
    if (!m_error.isNull())
        return -1;
    qint64 total = 0;
    while (total < length && hasBytesAvailable()) {
        qint64 n = 0;
        switch (m_phase) {
        case CVEncapsulationBoundaryPhase:
        case CVHeaderPhase:
        case CVFinalBoundaryPhase:
            n = readText(buffer + total, length - total);
            break;
        case CVBodyPhase:
            n = readBody(buffer + total, length - total);
            if (n < 0)
                return total > 0 ? total : -1; // the error is reported by the next call
            break;
        }
        total += n;
    }
    return total;
}

qint64 CVHTTPBodyPart::readText(char *buffer, qint64 length) {
    if (!m_phaseTextValid) {
        m_phaseText = m_phase == CVEncapsulationBoundaryPhase ? openingText()
                      : m_phase == CVHeaderPhase              ? headerText()
                                                              : closingText();
        m_phaseTextValid = true;
    }
    const QByteArray &text = m_phaseText;
    const qint64 n = std::min<qint64>(length, text.size() - m_phaseReadOffset);
    if (n > 0) {
        std::memcpy(buffer, text.constData() + m_phaseReadOffset, size_t(n));
        m_phaseReadOffset += n;
    }
    if (m_phaseReadOffset >= text.size())
        transitionToNextPhase();
    return n;
}

bool CVHTTPBodyPart::openInputStream() {
    m_inputOpened = true;
    if (body.metaType() == QMetaType::fromType<QUrl>()) {
        const QString path = body.toUrl().toLocalFile();
        auto file = std::make_shared<QFile>(path);
        if (!file->open(QIODevice::ReadOnly)) {
            const qint64 code =
                file->error() == QFileDevice::OpenError && !QFileInfo::exists(path)
                    ? kFileReadNoSuchFileError
                    : (file->error() == QFileDevice::PermissionsError ? kFileReadNoPermissionError
                                                                      : kFileReadUnknownError);
            m_error = fileError(code, QStringLiteral("The file \u201C%1\u201D couldn\u2019t be opened: %2")
                                          .arg(QFileInfo(path).fileName(), file->errorString()));
            return false;
        }
        m_inputStream = file;
    } else if (body.metaType() == QMetaType::fromType<std::shared_ptr<QIODevice>>()) {
        m_inputStream = body.value<std::shared_ptr<QIODevice>>();
        if (!m_inputStream) {
            m_error =
                fileError(kFileReadUnknownError, QStringLiteral("The body stream of a part is missing."));
            return false;
        }
        if (!m_inputStream->isOpen() && !m_inputStream->open(QIODevice::ReadOnly)) {
            m_error =
                fileError(kFileReadUnknownError, QStringLiteral("The body stream of a part could not be "
                                                                "opened: %1")
                                                     .arg(m_inputStream->errorString()));
            return false;
        }
        if (!m_inputStream->isSequential() && bodyStreamOffset >= 0 &&
            m_inputStream->pos() != bodyStreamOffset)
            m_inputStream->seek(bodyStreamOffset);
    }
    return true;
}

void CVHTTPBodyPart::closeInputStream() {
    // Only files this part opened itself are closed; a caller's stream stays
    // as it is.
    if (m_inputStream && body.metaType() == QMetaType::fromType<QUrl>())
        m_inputStream->close();
    m_inputStream.reset();
}

qint64 CVHTTPBodyPart::readBody(char *buffer, qint64 length) {
    if (!m_inputOpened && !openInputStream())
        return -1;
    const qint64 remaining = bodyContentLength - m_bodyBytesRead;
    if (remaining <= 0) {
        transitionToNextPhase();
        return 0;
    }
    const qint64 wanted = std::min(length, remaining);
    qint64 n = 0;
    if (body.metaType() == QMetaType::fromType<QByteArray>()) {
        const QByteArray data = body.toByteArray();
        n = std::min<qint64>(wanted, data.size() - m_bodyBytesRead);
        if (n > 0)
            std::memcpy(buffer, data.constData() + m_bodyBytesRead, size_t(n));
    } else if (m_inputStream) {
        n = m_inputStream->read(buffer, wanted);
        if (n == 0 && m_inputStream->isSequential() && !m_inputStream->atEnd() &&
            m_inputStream->waitForReadyRead(kStreamWaitMilliseconds))
            n = m_inputStream->read(buffer, wanted);
        if (n < 0) {
            m_error = fileError(
                kFileReadUnknownError,
                QStringLiteral("Reading the body of a part failed: %1").arg(m_inputStream->errorString()));
            closeInputStream();
            return -1;
        }
    }
    if (n <= 0) {
        // The source ended before the announced length: the body would no
        // longer match its Content-Length, so the read fails instead.
        m_error = fileError(kFileReadUnknownError,
                            QStringLiteral("The body of a part ended after %1 of its %2 bytes.")
                                .arg(m_bodyBytesRead)
                                .arg(bodyContentLength));
        closeInputStream();
        return -1;
    }
    m_bodyBytesRead += n;
    if (m_bodyBytesRead >= bodyContentLength)
        transitionToNextPhase();
    return n;
}

void CVHTTPBodyPart::transitionToNextPhase() {
    switch (m_phase) {
    case CVEncapsulationBoundaryPhase:
        m_phase = CVHeaderPhase;
        break;
    case CVHeaderPhase:
        m_phase = CVBodyPhase;
        m_bodyBytesRead = 0;
        if (bodyContentLength <= 0) {
            m_phase = CVFinalBoundaryPhase;
            m_inputFinished = true;
        }
        break;
    case CVBodyPhase:
        closeInputStream();
        m_inputFinished = true;
        m_phase = CVFinalBoundaryPhase;
        break;
    case CVFinalBoundaryPhase:
        closeInputStream();
        m_inputFinished = true;
        m_phase = CVEncapsulationBoundaryPhase;
        break;
    }
    m_phaseReadOffset = 0;
    m_phaseTextValid = false;
    m_phaseText.clear();
}

// --- CVMultipartBodyStream -----------------------------------------------------

CVMultipartBodyStream::CVMultipartBodyStream(KCStringEncoding encoding) : m_encoding(encoding) {}

CVMultipartBodyStream::~CVMultipartBodyStream() = default;

void CVMultipartBodyStream::setInitialAndFinalBoundaries() {
    m_contentLength = -1;
    for (auto &part : m_parts) {
        part->hasInitialBoundary = false;
        part->hasFinalBoundary = false;
    }
    if (!m_parts.empty()) {
        m_parts.front()->hasInitialBoundary = true;
        m_parts.back()->hasFinalBoundary = true;
    }
}

void CVMultipartBodyStream::appendHTTPBodyPart(std::unique_ptr<CVHTTPBodyPart> part) {
    m_parts.push_back(std::move(part));
    m_contentLength = -1;
}

qint64 CVMultipartBodyStream::contentLength() const {
    // Parts and their boundary flags do not change while the stream is open.
    if (m_contentLength >= 0 && m_status == NSStreamStatus::Open)
        return m_contentLength;
    qint64 length = 0;
    for (const auto &part : m_parts)
        length += part->contentLength();
    m_contentLength = length;
    return length;
}

std::shared_ptr<CVMultipartBodyStream> CVMultipartBodyStream::copy() const {
    auto stream = std::make_shared<CVMultipartBodyStream>(m_encoding);
    for (const auto &part : m_parts)
        stream->appendHTTPBodyPart(part->copy());
    stream->numberOfBytesInPacket = numberOfBytesInPacket;
    stream->delay = delay;
    stream->setInitialAndFinalBoundaries();
    return stream;
}

bool CVMultipartBodyStream::open(OpenMode mode) {
    if (m_status == NSStreamStatus::Open)
        return true;
    if (m_status == NSStreamStatus::Closed) {
        setErrorString(QStringLiteral("The body stream was closed; a copy reads the body again."));
        return false;
    }
    if (mode & QIODevice::WriteOnly) {
        setErrorString(QStringLiteral("The body stream can only be read."));
        return false;
    }
    setInitialAndFinalBoundaries();
    m_currentPart = 0;
    m_bytesRead = 0;
    m_finished = false;
    m_status = NSStreamStatus::Open;
    return QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void CVMultipartBodyStream::close() {
    if (m_status == NSStreamStatus::Open)
        m_status = NSStreamStatus::Closed;
    QIODevice::close();
}

qint64 CVMultipartBodyStream::bytesAvailable() const {
    if (m_status != NSStreamStatus::Open || !m_error.isNull())
        return QIODevice::bytesAvailable();
    return QIODevice::bytesAvailable() + std::max<qint64>(0, contentLength() - m_bytesRead);
}

bool CVMultipartBodyStream::atEnd() const {
    if (m_status != NSStreamStatus::Open || !m_error.isNull())
        return true;
    return QIODevice::bytesAvailable() == 0 && (m_finished || m_bytesRead >= contentLength());
}

qint64 CVMultipartBodyStream::readData(char *data, qint64 maxlen) {
    if (m_status != NSStreamStatus::Open)
        return 0;
    if (!m_error.isNull())
        return -1;
    const qint64 limit = std::min(maxlen, numberOfBytesInPacket);
    qint64 total = 0;
    while (total < limit) {
        if (m_currentPart >= m_parts.size()) {
            if (!m_finished) {
                m_finished = true;
                // Readers that wait for the end of a sequential device learn
                // of it here; queued, so that no reader is re-entered.
                QMetaObject::invokeMethod(
                    this, [this] { emit readChannelFinished(); }, Qt::QueuedConnection);
            }
            break;
        }
        CVHTTPBodyPart &part = *m_parts[m_currentPart];
        if (!part.hasBytesAvailable()) {
            ++m_currentPart;
            continue;
        }
        const qint64 n = part.read(data + total, limit - total);
        if (n < 0) {
            m_error = part.streamError();
            setErrorString(m_error.localizedDescription());
            break;
        }
        total += n;
        if (delay > 0)
            QThread::usleep(static_cast<unsigned long>(delay * 1e6));
    }
    m_bytesRead += total;
    // A failure with nothing written is reported as an error, not as the end
    // of the body.
    if (total == 0 && !m_error.isNull())
        return -1;
    return total;
}

qint64 CVMultipartBodyStream::writeData(const char *, qint64) {
    return -1;
}

// --- CVStreamingMultipartFormData ----------------------------------------------

CVStreamingMultipartFormData::CVStreamingMultipartFormData(const KCURLRequest &request,
                                                           KCStringEncoding encoding)
    : m_request(request), m_encoding(encoding), m_boundary(CVCreateMultipartFormBoundary()),
      m_bodyStream(std::make_shared<CVMultipartBodyStream>(encoding)) {}

void CVStreamingMultipartFormData::appendPart(const KCHeaderList &headers, const QVariant &body,
                                              qint64 length) {
    auto part = std::make_unique<CVHTTPBodyPart>();
    part->stringEncoding = m_encoding;
    part->boundary = m_boundary;
    part->headers = headers;
    part->body = body;
    part->bodyContentLength = std::max<qint64>(0, length);
    if (body.metaType() == QMetaType::fromType<std::shared_ptr<QIODevice>>()) {
        const auto device = body.value<std::shared_ptr<QIODevice>>();
        if (device && device->isOpen() && !device->isSequential())
            part->bodyStreamOffset = device->pos();
        else if (device && !device->isOpen())
            part->bodyStreamOffset = 0;
    }
    m_bodyStream->appendHTTPBodyPart(std::move(part));
}

bool CVStreamingMultipartFormData::appendPartWithFileURL(const QUrl &fileURL, const QString &name,
                                                         const QString &fileName, const QString &mimeType,
                                                         KCError *error) {
    auto fail = [error](const KCError &e) {
        if (error)
            *error = e;
        return false;
    };
    if (!fileURL.isLocalFile())
        return fail(
            KCError(CVRequestSerializationErrorDomain, NSURLErrorBadURL,
                    {{NSLocalizedFailureReasonErrorKey, QStringLiteral("Expected URL to be a file URL")}}));
    const QString path = fileURL.toLocalFile();
    const QFileInfo info(path);
    if (!info.exists())
        return fail(KCError(CVRequestSerializationErrorDomain, NSURLErrorBadURL,
                            {{NSLocalizedFailureReasonErrorKey, QStringLiteral("File URL not reachable.")}}));
    if (info.isDir())
        return fail(
            fileError(kFileReadUnknownError,
                      QStringLiteral("\u201C%1\u201D is a folder, not a file.").arg(info.fileName())));
    if (!info.isReadable())
        return fail(
            fileError(kFileReadNoPermissionError,
                      QStringLiteral("The file \u201C%1\u201D couldn\u2019t be opened because you don\u2019t "
                                     "have permission to view it.")
                          .arg(info.fileName())));
    const KCHeaderList headers = fileHeaders(name, fileName, mimeType);
    appendPart(headers, QVariant::fromValue(fileURL), info.size());
    return true;
}

bool CVStreamingMultipartFormData::appendPartWithFileURL(const QUrl &fileURL, const QString &name,
                                                         KCError *error) {
    const QString fileName = fileURL.fileName();
    return appendPartWithFileURL(fileURL, name, fileName, CVContentTypeForPathExtension(fileName), error);
}

void CVStreamingMultipartFormData::appendPartWithInputStream(std::shared_ptr<QIODevice> inputStream,
                                                             const QString &name, const QString &fileName,
                                                             qint64 length, const QString &mimeType) {
    const KCHeaderList headers = fileHeaders(name, fileName, mimeType);
    appendPart(headers, QVariant::fromValue(std::move(inputStream)), length);
}

void CVStreamingMultipartFormData::appendPartWithFileData(const QByteArray &data, const QString &name,
                                                          const QString &fileName, const QString &mimeType) {
    const KCHeaderList headers = fileHeaders(name, fileName, mimeType);
    appendPartWithHeaders(headers, data);
}

void CVStreamingMultipartFormData::appendPartWithFormData(const QByteArray &data, const QString &name) {
    appendPartWithHeaders(
        {{QStringLiteral("Content-Disposition"), QStringLiteral("form-data; name=\"%1\"").arg(name)}}, data);
}

void CVStreamingMultipartFormData::appendPartWithHeaders(const KCHeaderList &headers,
                                                         const QByteArray &body) {
    appendPart(headers, QVariant(body), body.size());
}

void CVStreamingMultipartFormData::throttleBandwidthWithPacketSize(qint64 numberOfBytes, double delay) {
    m_bodyStream->numberOfBytesInPacket = numberOfBytes > 0 ? numberOfBytes : 1;
    m_bodyStream->delay = delay;
}

KCURLRequest CVStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
    if (m_bodyStream->isEmpty())
        return m_request;
    m_bodyStream->setInitialAndFinalBoundaries();
    m_request.setHTTPBodyStream(m_bodyStream);
    m_request.setValue(QStringLiteral("multipart/form-data; boundary=%1").arg(m_boundary),
                       QStringLiteral("Content-Type"));
    m_request.setValue(QString::number(quint64(m_bodyStream->contentLength())),
                       QStringLiteral("Content-Length"));
    return m_request;
}

// --- CVHTTPRequestSerializer (multipart) -------------------------------------

std::optional<KCURLRequest> CVHTTPRequestSerializer::multipartFormRequestWithMethod(
    const QString &method, const QString &URLString, const KCParameters &parameters,
    const std::function<void(CVStreamingMultipartFormData &formData)> &block, KCError *error) const {
    const std::optional<KCURLRequest> base = requestWithMethod(method, URLString, std::nullopt, error);
    if (!base)
        return std::nullopt;
    CVStreamingMultipartFormData formData(*base, KCStringEncoding::UTF8);
    if (parameters) {
        for (const CVQueryStringPair &pair : CVQueryStringPairsFromDictionary(*parameters)) {
            QByteArray data;
            if (pair.value.metaType() == QMetaType::fromType<QByteArray>())
                data = pair.value.toByteArray();
            else if (!KCIsNullMarker(pair.value))
                data = KCDescriptionOfValue(pair.value).toUtf8();
            formData.appendPartWithFormData(data, KCDescriptionOfValue(pair.field));
        }
    }
    if (block)
        block(formData);
    return formData.requestByFinalizingMultipartFormData();
}
