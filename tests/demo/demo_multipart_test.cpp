// The demo EMR's multipart/form-data parser.

#include <gtest/gtest.h>

#include "demo/multipart.h"

TEST(DemoMultipart, ReadsTheBoundaryFromTheContentType) {
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=Boundary+0011AABB"),
              QByteArray("Boundary+0011AABB"));
    EXPECT_EQ(multipartBoundary("Multipart/Form-Data;boundary=\"a b\""), QByteArray("a b"));
    EXPECT_TRUE(multipartBoundary("application/json").isEmpty());
    EXPECT_TRUE(multipartBoundary("multipart/form-data").isEmpty());
}

TEST(DemoMultipart, SplitsFieldsAndFilesKeepingBinaryBytes) {
    const QByteArray file("%PDF\n--B\0\xff", 10); // looks like a boundary, but lacks the CR before it
    const QByteArray body = "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1"
                            "\r\n--B\r\nContent-Disposition: form-data; name=\"empty\"\r\n\r\n"
                            "\r\n--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x; y.pdf\"\r\n"
                            "Content-Type: application/pdf\r\n\r\n" +
                            file + "\r\n--B--\r\n";
    const MultipartBody parsed = parseMultipart(body, "B");
    ASSERT_TRUE(parsed.ok()) << parsed.error.toStdString();
    ASSERT_EQ(parsed.parts.size(), 3);
    EXPECT_EQ(parsed.parts[0].name, QStringLiteral("a"));
    EXPECT_EQ(parsed.parts[0].data, QByteArray("1"));
    EXPECT_FALSE(parsed.parts[0].hasFileName);
    EXPECT_TRUE(parsed.parts[1].data.isEmpty());
    const MultipartPart *f = parsed.part(QStringLiteral("f"));
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->hasFileName);
    EXPECT_EQ(f->fileName, QStringLiteral("x; y.pdf"));
    EXPECT_EQ(f->contentType, QByteArray("application/pdf"));
    EXPECT_EQ(f->data, file);
}

TEST(DemoMultipart, ReportsBrokenBodiesInsteadOfGuessing) {
    const QByteArray good = "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--B--\r\n";
    ASSERT_TRUE(parseMultipart(good, "B").ok());
    for (const QByteArray &bad : {
             QByteArray(), QByteArray("junk"),
             good.left(good.size() - 9),                                            // no closing boundary
             QByteArray("--B\r\nContent-Disposition: form-data\r\n\r\n1\r\n--B--"), // no name
             QByteArray("--B\r\nno colon here\r\n\r\n1\r\n--B--"),
             QByteArray("--B\r\nContent-Disposition: form-data; name=\"a\"\r\n1\r\n--B--"), // no blank line
             QByteArray("--BX\r\n"),
             QByteArray("--B--"), // no parts at all
         })
        EXPECT_FALSE(parseMultipart(bad, "B").ok()) << bad.constData();
    EXPECT_FALSE(parseMultipart(good, "").ok());
}
