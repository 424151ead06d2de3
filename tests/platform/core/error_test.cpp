#include "platform/core/error.h"

#include <gtest/gtest.h>

TEST(KCError, NullAndDescriptions) {
    KCError none;
    EXPECT_TRUE(none.isNull());
    EXPECT_FALSE(none.hasCodeInDomain(0, QString()));

    KCError e(QStringLiteral("d"), -5, {{NSLocalizedDescriptionKey, QStringLiteral("went wrong")}});
    EXPECT_FALSE(e.isNull());
    EXPECT_EQ(e.localizedDescription(), QStringLiteral("went wrong"));
    EXPECT_EQ(KCError(QStringLiteral("x"), 3).localizedDescription(),
              QStringLiteral("The operation couldn't be completed. (x error 3.)"));
}

TEST(KCError, CodeInDomainLooksThroughUnderlyingErrors) {
    KCError inner(QStringLiteral("inner"), -1016);
    KCError outer(QStringLiteral("outer"), -1011, {{NSUnderlyingErrorKey, QVariant::fromValue(inner)}});
    EXPECT_EQ(outer.underlyingError(), inner);
    EXPECT_TRUE(outer.hasCodeInDomain(-1016, QStringLiteral("inner")));
    EXPECT_TRUE(outer.hasCodeInDomain(-1011, QStringLiteral("outer")));
    EXPECT_FALSE(outer.hasCodeInDomain(-1016, QStringLiteral("outer")));
}
