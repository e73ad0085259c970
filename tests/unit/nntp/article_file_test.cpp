#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "nntp/ArticleFile.h"
#include "tests/common/TempWorkingDir.h"

namespace {

class ArticleFileTest : public InTempWorkingDir {};

TEST_F(ArticleFileTest, FreshFileClosesAndDeletesAsNoOps) {
    ArticleFile file;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(file.Close());
    EXPECT_TRUE(file.Delete());
    EXPECT_TRUE(file.Delete());
    EXPECT_FALSE(file.Write("x", 1));
}

TEST_F(ArticleFileTest, OpenWriteCloseDeleteLifecycle) {
    ArticleFile file;
    ASSERT_TRUE(file.Open("3.tmp", 0, CREATE_ALWAYS));
    EXPECT_EQ(file.Name(), "3.tmp");
    EXPECT_TRUE(file.Write("Subject: test\r\n", 15));
    EXPECT_TRUE(file.Write("\r\nbody\r\n", 8));
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Name(), "3.tmp") << "closing keeps the name for Delete";
    EXPECT_EQ(ReadWholeFile("3.tmp"), "Subject: test\r\n\r\nbody\r\n");
    EXPECT_TRUE(file.Delete());
    EXPECT_FALSE(PathExists("3.tmp"));
    EXPECT_EQ(file.Name(), "");
    EXPECT_TRUE(file.Delete());
}

TEST_F(ArticleFileTest, ReopeningTruncatesTheOldArticle) {
    WriteWholeFile("1.tmp", "an older, longer article");
    ArticleFile file;
    ASSERT_TRUE(file.Open("1.tmp", 0, CREATE_ALWAYS));
    file.Write("new", 3);
    file.Close();
    EXPECT_EQ(ReadWholeFile("1.tmp"), "new");
}

TEST_F(ArticleFileTest, EmptyNameChangesNothing) {
    ArticleFile file;
    ASSERT_TRUE(file.Open("2.tmp", 0, CREATE_ALWAYS));
    EXPECT_FALSE(file.Open("", 0, CREATE_ALWAYS));
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Name(), "2.tmp");
    EXPECT_TRUE(file.Write("still open", 10));
    file.Close();
    EXPECT_EQ(ReadWholeFile("2.tmp"), "still open");
}

TEST_F(ArticleFileTest, OpeningAgainWhileOpenClosesTheFirstHandle) {
    ArticleFile file;
    ASSERT_TRUE(file.Open("5.tmp", 0, CREATE_ALWAYS));
    file.Write("first", 5);
    // The same unshared name again: the old handle must not block (or leak) the new one.
    ASSERT_TRUE(file.Open("5.tmp", 0, CREATE_ALWAYS));
    file.Write("second", 6);
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(ReadWholeFile("5.tmp"), "second");
    EXPECT_TRUE(file.Delete());
}

TEST_F(ArticleFileTest, FailedOpenMakesWritesFailQuietly) {
    ArticleFile file;
    EXPECT_FALSE(file.Open("no-such-folder/4.tmp", 0, CREATE_ALWAYS));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.Write("lost", 4));
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.Delete()) << "nothing to delete under that name";
    EXPECT_EQ(file.Name(), "");
}

TEST_F(ArticleFileTest, FailedDeleteForgetsTheName) {
    ArticleFile file;
    ASSERT_TRUE(file.Open("6.tmp", 0, CREATE_ALWAYS));
    EXPECT_TRUE(file.Close());
    ASSERT_TRUE(DeleteFileA("6.tmp"));  // gone behind the object's back
    EXPECT_FALSE(file.Delete());
    EXPECT_EQ(file.Name(), "");
    EXPECT_TRUE(file.Delete()) << "nothing left to delete";
}

TEST_F(ArticleFileTest, DestroyingMidArticleLeavesTheClosedFileOnDisk) {
    {
        auto file = std::make_unique<ArticleFile>();
        ASSERT_TRUE(file->Open("7.tmp", 0, CREATE_ALWAYS));
        file->Write("half an article", 15);
    }
    EXPECT_EQ(ReadWholeFile("7.tmp"), "half an article");
    EXPECT_TRUE(DeleteFileA("7.tmp")) << "the destructor closed the handle";
}

}  // namespace
