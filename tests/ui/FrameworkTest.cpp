// The dialog framework through the headless back end, with pages of our own on the real templates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/Dialogs.h"
#include "res/Pictures.h"
#include "ui/Dialog.h"
#include "ui/headless/HeadlessBackend.h"

namespace {

using ui::headless::HeadlessBackend;

// A page on the Restore template (radio group kWhiteTop, kGreyTop, default button kRestore, Back).
class RadioPage : public ui::Dialog {
  public:
    RadioPage() : Dialog(res::idd::kRestore) {}
    int choice = 1;
    std::vector<std::string> log;

  protected:
    const ui::HandlerTable& handlers() const override {
        static const ui::HandlerTable table = {
            ui::onCommand(res::idc::kRestore, &RadioPage::onRestore),
            ui::onCommand(res::idc::kBack, &RadioPage::onBack),
            ui::onPaint(&RadioPage::onPaintPage),
            ui::onTimer(&RadioPage::onTick),
            ui::onMessage(ui::msg::App + 7, &RadioPage::onPrivate),
        };
        return table;
    }
    void doDataExchange(ui::DataExchange& dx) override {
        ui::ddxRadio(dx, res::idc::kWhiteTop, choice);
    }
    bool onInitDialog() override {
        Dialog::onInitDialog();
        postMessage(ui::msg::App + 7, 3, 4);
        setTimer(5, 100);
        return true;
    }

  private:
    void onRestore() {
        updateData(true);
        log.push_back("restore " + std::to_string(choice));
        enableItem(res::idc::kRestore, false);
    }
    void onBack() { onOK(); }
    void onPaintPage() { log.push_back("paint"); }
    void onTick(unsigned id) {
        log.push_back("tick " + std::to_string(id) + " at " + std::to_string(ui_->now()));
    }
    std::intptr_t onPrivate(std::uintptr_t w, std::intptr_t l) {
        log.push_back("private " + std::to_string(w) + " " + std::to_string(l));
        return 0;
    }

  public:
    HeadlessBackend* ui_ = nullptr;
};

TEST(Framework, ModalLoopHandlersTimersRadioAndDataExchange) {
    HeadlessBackend ui;
    ui::Session session(ui, "Reflasher");
    RadioPage page;
    page.ui_ = &ui;
    ui.then([](HeadlessBackend& b) {
          EXPECT_TRUE(b.visible("Restore"));
          const ui::Window* w = b.window("Restore");
          ASSERT_NE(w, nullptr);
          EXPECT_FALSE(w->control(res::idc::kWhiteTop)->checked);
          EXPECT_TRUE(w->control(res::idc::kGreyTop)->checked);  // member 1 -> second button
      })
        .letTimePass(250)                       // two ticks at 100 and 200
        .press(res::idc::kWhiteTop, "Restore")  // automatic radio: res::idc::kWhiteTop checked,
                                                // res::idc::kGreyTop unchecked
        .enter("Restore")                       // default button res::idc::kRestore
        .enter("Restore")                       // now disabled: refused
        .escape("Restore");
    EXPECT_EQ(page.doModal(), ui::Result::Cancel);
    EXPECT_EQ(page.log, (std::vector<std::string>{"private 3 4", "paint", "tick 5 at 100",
                                                  "tick 5 at 200", "restore 0"}));
    ASSERT_EQ(ui.errors().size(), 1u);
    EXPECT_NE(ui.errors()[0].find("disabled"), std::string::npos);
    EXPECT_EQ(ui.pageOrder(), (std::vector<std::string>{"open Restore", "end Restore Cancel"}));
    EXPECT_TRUE(ui.scriptDone());
}

// A page on the port selection template that opens a nested page and shows message boxes.
class ListPage : public ui::Dialog {
  public:
    ListPage() : Dialog(res::idd::kChooseConnection) {}
    ui::Result childResult = ui::Result::OK;

  protected:
    const ui::HandlerTable& handlers() const override {
        static const ui::HandlerTable table = {
            ui::onCommand(res::idc::kPortNext, &ListPage::onNext),
            ui::onCommand(res::idc::kPortRestore, &ListPage::onWarn),
        };
        return table;
    }
    bool onInitDialog() override {
        for (const char* s : {"b", "C", "a"}) listAddString(res::idc::kPortList, s);
        listSetCurSel(res::idc::kPortList, 0);
        return true;
    }

  private:
    void onNext() {
        showWindow(false);
        RadioPage child;
        childResult = child.doModal();
        showWindow(true);
    }
    void onWarn() {
        ui::messageBox("Careful " + std::to_string(listGetCurSel(res::idc::kPortList)));
    }
};

TEST(Framework, NestedPagesMessageBoxesListsAndScriptErrors) {
    HeadlessBackend ui;
    ui::Session session(ui, ui::programNameFromPath("C:\\Program Files\\Reflasher.exe"));
    ListPage page;
    ui.then([](HeadlessBackend& b) {
          const ui::Window* w = b.window("Choose Connection");
          EXPECT_EQ(w->control(res::idc::kPortList)->items,
                    (std::vector<std::string>{"a", "b", "C"}));  // sorted, any case
      })
        .select(res::idc::kPortList, 2, "Choose Connection")
        .press(res::idc::kPortRestore)
        .then([](HeadlessBackend& b) { EXPECT_EQ(b.active()->kind, ui::WindowKind::MessageBox); })
        .repaint()  // repaints pump inside a message box too
        .answerMessageBox("Careful 2")
        .answerMessageBox()  // no box open: a script error
        .press(res::idc::kPortNext)
        .then([](HeadlessBackend& b) {
            EXPECT_FALSE(b.visible("Choose Connection"));
            EXPECT_TRUE(b.visible("Restore"));
        })
        .press(res::idc::kBack, "Restore")  // Back: OK
        .press(9999);                       // no such control
    // The script then runs out: the operator escapes and the page ends with Cancel.
    EXPECT_EQ(page.doModal(), ui::Result::Cancel);
    EXPECT_EQ(page.childResult, ui::Result::OK);
    ASSERT_EQ(ui.messageBoxes().size(), 1u);
    EXPECT_EQ(ui.messageBoxes()[0].caption, "Reflasher");
    EXPECT_EQ(ui.messageBoxes()[0].icon, ui::MessageIcon::Exclamation);
    EXPECT_EQ(ui.pageOrder(),
              (std::vector<std::string>{"open Choose Connection", "open Restore", "end Restore OK",
                                        "end Choose Connection Cancel"}));
    EXPECT_EQ(ui.selection("Choose Connection", res::idc::kPortList), 2);
    ASSERT_EQ(ui.errors().size(), 3u);
    EXPECT_NE(ui.errors()[0].find("expected a message box"), std::string::npos);
    EXPECT_NE(ui.errors()[1].find("no such control"), std::string::npos);
    EXPECT_NE(ui.errors()[2].find("script ran out"), std::string::npos);
}

// A page on the Welcome template with pictures and the window menu.
class PicturePage : public ui::Dialog {
  public:
    PicturePage() : Dialog(res::idd::kWelcome) {}
    std::vector<unsigned> commands;

  protected:
    const ui::HandlerTable& handlers() const override {
        static const ui::HandlerTable table = {
            ui::onTimer(&PicturePage::onTick),
            ui::onSysCommand(&PicturePage::onSys),
            ui::onPaint(&PicturePage::onPaintPage),
        };
        return table;
    }
    bool onInitDialog() override {
        appendWindowMenu(0, "");
        appendWindowMenu(0x10, "&About");
        setTimer(1, 10);
        return true;
    }

  private:
    void onTick(unsigned) {
        current_ = ui::loadPicture(next_++ % 2 ? res::idb::kAnimation[1] : res::idb::kAnimation[7]);
        setPicture(res::idc::kAnimation, current_);
    }
    void onSys(unsigned command) {
        commands.push_back(command);
        defaultHandling({ui::msg::SysCommand, command});
    }
    void onPaintPage() {
        if (isIconic()) drawIcon(1, 2, ui::loadPicture(res::idi::kApplication));
    }
    ui::PictureHandle current_;
    int next_ = 0;
};

TEST(Framework, PicturesAreReleasedAndWindowMenuReachesThePage) {
    long before = ui::livePictureCount();
    HeadlessBackend ui;
    ui::Session session(ui, "x");
    PicturePage page;
    ui.letTimePass(200)
        .then([&](HeadlessBackend& b) {
            EXPECT_EQ(b.pictureHistory("Welcome", res::idc::kAnimation).size(),
                      21u);  // the first frame at creation, then 20
            EXPECT_LE(ui::livePictureCount() - before,
                      2);  // the shown frame (also held by the page)
        })
        .windowMenu(0x10)
        .windowMenu(0x20)  // not in the menu: refused
        .windowMenu(ui::kScMinimize)
        .windowMenu(ui::kScClose);
    EXPECT_EQ(page.doModal(), ui::Result::Cancel);
    EXPECT_EQ(page.commands, (std::vector<unsigned>{0x10, ui::kScMinimize, ui::kScClose}));
    EXPECT_EQ(
        ui.drawnIcons(),
        (std::vector<std::string>{"Welcome " + std::to_string(res::idi::kApplication) + " 1 2"}));
    EXPECT_EQ(ui.errors().size(), 1u);
    EXPECT_EQ(ui::livePictureCount() - before, 1);  // the page still holds its last frame
}

TEST(Framework, PicturesOfAClosedPageAreAllReleased) {
    long before = ui::livePictureCount();
    {
        HeadlessBackend ui;
        ui::Session session(ui, "x");
        PicturePage page;
        ui.letTimePass(55).escape();
        EXPECT_EQ(page.doModal(), ui::Result::Cancel);
    }
    EXPECT_EQ(ui::livePictureCount(), before);
}

TEST(Resources, TemplatesAndPictures) {
    for (int id :
         {res::idd::kAbout, res::idd::kWelcome, res::idd::kChooseConnection, res::idd::kConnecting,
          res::idd::kReceiverInfo, res::idd::kRestore, res::idd::kWarmAndFuzzy})
        EXPECT_NE(res::FindDialog(id), nullptr) << id;
    EXPECT_EQ(res::FindDialog(res::idd::kWelcome - 1), nullptr);
    const res::DialogTemplate* welcome = res::FindDialog(res::idd::kWelcome);
    EXPECT_STREQ(welcome->title, "Welcome");
    EXPECT_EQ(welcome->cx, 260);
    EXPECT_FALSE(welcome->style & res::kDlgSysMenuBox);
    for (int id : res::idb::kAnimation) {
        const res::Picture* p = res::FindPicture(id);
        ASSERT_NE(p, nullptr) << id;
        EXPECT_EQ(p->images[0].width, 128);
        EXPECT_EQ(p->images[0].height, 48);
    }
    const res::Picture* icon = res::FindPicture(res::idi::kApplication);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(res::ImageOfSize(*icon, 16, 16).width, 16);
    EXPECT_EQ(res::ImageOfSize(*icon, 32, 32).width, 32);
    EXPECT_EQ(res::ImageOfSize(*res::FindPicture(res::idi::kLogo), 225, 59).height, 59);
    // Frames differ from one another (the animation moves).
    EXPECT_NE(std::vector<std::uint8_t>(
                  res::FindPicture(res::idb::kAnimation[0])->images[0].pixels,
                  res::FindPicture(res::idb::kAnimation[0])->images[0].pixels + 128 * 48),
              std::vector<std::uint8_t>(
                  res::FindPicture(res::idb::kAnimation[1])->images[0].pixels,
                  res::FindPicture(res::idb::kAnimation[1])->images[0].pixels + 128 * 48));
}

}  // namespace
