// The options window's take-over rules and keys, and the comment dialog.
#include <QTest>
#include <QTimer>

#include "app/oem_comment.h"
#include "tests/app/app_fixture.h"

using OptionsTest = AppTest;

TEST_F(OptionsTest, StartsWithDefaultsInFieldsAndControls) {
  TOptions& o = *Options;
  EXPECT_FALSE(o.LogEveryValue);
  EXPECT_EQ(o.LogInterval, 10.0);
  EXPECT_FALSE(o.AppendLogFile);
  EXPECT_EQ(o.DiagramBufferHours, 12.0);
  EXPECT_TRUE(o.RadioButton2->isChecked());
  EXPECT_FALSE(o.RadioButton1->isChecked());
  EXPECT_EQ(o.Edit1->text(), "10");
  EXPECT_FALSE(o.CheckBox1->isChecked());
  EXPECT_EQ(o.Edit2->text(), "12");
  main->Button4Click();
  EXPECT_TRUE(o.isVisible());
}

TEST_F(OptionsTest, OkTakesOverUpToTheFirstBadNumber) {
  TOptions& o = *Options;
  o.show();
  o.Edit1->setText("2,5");
  o.Edit2->setText("0,5");
  o.Button1Click();
  EXPECT_EQ(o.LogInterval, 2.5);
  EXPECT_EQ(o.DiagramBufferHours, 0.5);
  EXPECT_FALSE(o.isVisible());
  EXPECT_TRUE(messages.empty());

  // Interval not a number in this locale: mode and append already changed.
  o.show();
  o.RadioButton1->setChecked(true);
  o.CheckBox1->setChecked(true);
  o.Edit1->setText("2.5");
  o.Edit2->setText("24");
  o.Button1Click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, "Invalid Entry");
  EXPECT_EQ(messages[0].Kind, TMsgKind::mkInformation);
  EXPECT_TRUE(o.isVisible());
  EXPECT_TRUE(o.LogEveryValue);
  EXPECT_TRUE(o.AppendLogFile);
  EXPECT_EQ(o.LogInterval, 2.5);
  EXPECT_EQ(o.DiagramBufferHours, 0.5);

  // Bad buffer size: the first three are taken.
  o.Edit1->setText("-3");
  o.Edit2->setText("abc");
  o.Button1Click();
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_EQ(o.LogInterval, -3.0);
  EXPECT_EQ(o.DiagramBufferHours, 0.5);
  EXPECT_TRUE(o.isVisible());
}

TEST_F(OptionsTest, CancelKeepsFieldsAndTheTypedText) {
  TOptions& o = *Options;
  o.show();
  o.Edit1->setText("30");
  o.Button2Click();
  EXPECT_FALSE(o.isVisible());
  EXPECT_EQ(o.LogInterval, 10.0);
  main->Button4Click();
  EXPECT_EQ(o.Edit1->text(), "30");
  o.Button1Click();
  EXPECT_EQ(o.LogInterval, 30.0);
}

TEST_F(OptionsTest, EnterAndEscapeActEverywhereButInTheBufferField) {
  TOptions& o = *Options;
  o.show();
  o.Edit1->setText("7");
  QTest::keyClick(o.Edit1, Qt::Key_Return);
  EXPECT_FALSE(o.isVisible());
  EXPECT_EQ(o.LogInterval, 7.0);

  o.show();
  o.Edit2->setText("3");
  QTest::keyClick(o.Edit2, Qt::Key_Return);
  QTest::keyClick(o.Edit2, Qt::Key_Escape);
  EXPECT_TRUE(o.isVisible());
  EXPECT_EQ(o.DiagramBufferHours, 12.0);

  o.Edit1->setText("8");
  QTest::keyClick(o.CheckBox1, Qt::Key_Escape);
  EXPECT_FALSE(o.isVisible());
  EXPECT_EQ(o.LogInterval, 7.0);
}

TEST_F(OptionsTest, CommentEnterAcceptsEscapeKeepsTheStoredText) {
  TComment c;
  EXPECT_TRUE(c.CommentText.isEmpty());
  QTimer::singleShot(0, &c, [&] {
    QTest::keyClicks(c.Edit1, "Oven run 3");
    QTest::keyClick(c.Edit1, Qt::Key_Return);
  });
  EXPECT_EQ(c.exec(), QDialog::Accepted);
  EXPECT_EQ(c.CommentText, "Oven run 3");

  QTimer::singleShot(0, &c, [&] {
    c.Edit1->setText("changed");
    QTest::keyClick(c.Edit1, Qt::Key_Escape);
  });
  EXPECT_EQ(c.exec(), QDialog::Rejected);
  EXPECT_EQ(c.CommentText, "Oven run 3");
  EXPECT_EQ(c.Edit1->text(), "changed");  // offered again next time
}
