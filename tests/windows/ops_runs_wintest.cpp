// The Program and Erase commands in the real main window under Wine, against
// the simulated target on COM1 (7 block-erased replies per erase): the
// open-file dialog, the progress dialogs and their bars, every box with its
// owner, the flash that arrived, the link lost and rebuilt, and Esc.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "operations/app_state.h"
#include "operations/app_state_win32.h"
#include "operations/connection_manager.h"
#include "operations/erase_run_win32.h"
#include "operations/program_run_win32.h"
#include "operations/run_logic.h"
#include "tests/windows/ops_support.h"
#include "tests/windows/wintest_support.h"
#include "ui/resource_ids.h"

namespace {

constexpr uint32_t BootSize = 0x4000;
constexpr uint32_t FlashSize = 512 * 1024;
constexpr LONG SmoothBarStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | PBS_SMOOTH;

const char SuccessText[] = "Target Flash has been successfully programmed.";

// 1021 bytes at 0x4000 in a file of exactly 3072 bytes: four blocks read from
// file positions 9, 777, 1545 and 2313, so the programming bar stands at 33
// before the third and at 66 before the fourth.
const std::vector<uint8_t>& applicationImage() {
  static const std::vector<uint8_t> image = patternBytes(1021, 7);
  return image;
}

std::string applicationFile() {
  static const std::string path = writeHexFile("app.hex", BootSize, applicationImage());
  return path;
}

// A target that calls at once and is shown connected; a link left down by
// the test before is rebuilt first, so the frames count from this handshake.
bool connectAfreshOnCom1() {
  startMainWindowOnce();
  startRecordingDialogs();
  if (!startCatchingMessageBoxes()) return false;
  answerMessageBoxesWith(IDOK);
  if (connectionState == ConnectionState::Connected) {
    SendMessageA(mainWindow, WM_COMMAND, CMD_LINK_LOST, 0);
  }
  if (!resetTargetCalling(1)) return false;
  bool shown = waitForStatus("CONNECTED COM1", "115200 8-N-1", 10000);
  if (!shown) {
    std::printf("not connected: [%s] [%s], state %d\n", statusText(0).c_str(),
                statusText(1).c_str(), static_cast<int>(connectionState.load()));
  }
  clearCaughtMessageBoxes();
  clearRecordedDialogs();
  return shown && connectionState == ConnectionState::Connected;
}

// Program Target with this file chosen in the open-file dialog; returns once
// the run has ended, as the command does.
void programWith(const std::string& path, std::string* shownPath = nullptr) {
  answerOpenFileDialog(path, shownPath);
  onProgramCommand(mainWindow);
}

void expectBox(const CaughtMessageBox& box, const std::string& text, const char* caption,
               unsigned icon, HWND owner) {
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.caption, caption);
  EXPECT_EQ(box.icon, icon);
  EXPECT_EQ(box.owner, owner);
}

void expectLinkLostAndRebuilt() {
  EXPECT_EQ(statusText(0), "NOT CONNECTED");
  EXPECT_EQ(statusText(1), "Please Reset Target.");
  EXPECT_EQ(connectionState, ConnectionState::NotConnected);
  EXPECT_TRUE(connectionThreadRunning());
  ASSERT_TRUE(resetTargetCalling(1));
  EXPECT_TRUE(waitForStatus("CONNECTED COM1", "115200 8-N-1", 10000));
}

TEST(TargetRuns, ProgramAndEraseAreRefusedWithoutATarget) {
  startMainWindowOnce();
  ASSERT_TRUE(startCatchingMessageBoxes());
  clearCaughtMessageBoxes();
  ASSERT_NE(connectionState, ConnectionState::Connected);  // the target stays silent

  answerOpenFileDialog("");
  onProgramCommand(mainWindow);
  onEraseCommand(mainWindow);
  pumpMessagesUntil([] { return false; }, 300);

  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  expectBox(boxes[0], "Target Not Connected.", "Program Target Flash Error", MB_ICONWARNING,
            mainWindow);
  expectBox(boxes[1], "Target Not Connected.", "Erase Target Flash Error", MB_ICONWARNING,
            mainWindow);
  EXPECT_FALSE(openFileDialogAnswered());
  EXPECT_EQ(programBusy, 0);
  EXPECT_EQ(eraseBusy, 0);
}

TEST(TargetRuns, ProgramsAnApplicationWithBothBarsAndTheSuccessBox) {
  ASSERT_TRUE(connectAfreshOnCom1());
  ASSERT_EQ(fileSize(applicationFile()), 3072);
  const size_t logStart = simLog(1).size();

  programWith(applicationFile());

  HWND dialog = dialogSeen("Programming Application");
  ASSERT_NE(dialog, nullptr);
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  expectBox(boxes[0], SuccessText, "Programming Operation Complete", MB_ICONINFORMATION, dialog);
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_EQ(programBusy, 0);

  // 7 block-erased replies, then the bar is filled to its end.
  std::vector<BarStep> steps = barSteps();
  EXPECT_EQ(stepsOf(steps, "Erase Progress"), 20);
  EXPECT_EQ(lastPosition(steps, "Erase Progress"), 20);
  EXPECT_EQ(stepsOf(steps, "Program Progress"), 66);
  EXPECT_EQ(lastPosition(steps, "Program Progress"), 66);
  for (const BarStep& step : steps) {
    EXPECT_EQ(step.dialogWindow, dialog);
    EXPECT_EQ(step.maximum, step.bar == "Erase Progress" ? 20 : 100) << step.bar;
    EXPECT_EQ(step.style & SmoothBarStyle, SmoothBarStyle);
  }

  EXPECT_TRUE(waitForSimFlash(1, BootSize, applicationImage(), 5000));
  EXPECT_EQ(statusText(0), "CONNECTED COM1");
  EXPECT_EQ(connectionState, ConnectionState::Connected);
  std::vector<std::string> log = simLog(1);
  int records = 0;
  for (size_t i = logStart; i < log.size(); ++i) records += log[i].rfind("record ", 0) == 0;
  EXPECT_EQ(records, 4);
}

TEST(TargetRuns, ProgramsTheBootloaderAndOffersTheLastFileAgain) {
  ASSERT_TRUE(connectAfreshOnCom1());
  const std::vector<uint8_t> image = patternBytes(600, 11);
  const std::string bootFile = writeHexFile("boot.hex", 0x1000, image);
  programTarget = flagsFor(ProgramTarget::Bootloader);
  std::string shown;
  programWith(bootFile, &shown);
  programTarget = flagsFor(ProgramTarget::Application);

  // The path chosen the time before (the dialog may show its name alone).
  const std::string last = applicationFile();
  EXPECT_TRUE(shown == last || shown == last.substr(last.rfind('\\') + 1)) << shown;
  HWND dialog = dialogSeen("Programming Bootloader");
  ASSERT_NE(dialog, nullptr);
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  expectBox(boxes[0], SuccessText, "Programming Operation Complete", MB_ICONINFORMATION, dialog);
  EXPECT_EQ(stepsOf(barSteps(), "Erase Progress"), 20);
  EXPECT_TRUE(waitForSimFlash(1, 0x1000, image, 5000));
}

TEST(TargetRuns, ABadFileIsRefusedBeforeTheTargetIsAddressedAndCancelDoesNothing) {
  ASSERT_TRUE(connectAfreshOnCom1());
  const size_t logStart = simLog(1).size();
  programWith(writeTextFile("bad.hex", "00004000\n12 34\n56 G7 89\n"));

  HWND dialog = dialogSeen("Programming Application");
  ASSERT_NE(dialog, nullptr);
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "File Error");
  EXPECT_EQ(boxes[0].icon, static_cast<unsigned>(MB_ICONERROR));
  EXPECT_EQ(boxes[0].owner, dialog);
  EXPECT_NE(boxes[0].text.find("Line 3"), std::string::npos) << boxes[0].text;
  EXPECT_TRUE(barSteps().empty());
  EXPECT_EQ(simLog(1).size(), logStart);
  EXPECT_EQ(programBusy, 0);
  EXPECT_EQ(connectionState, ConnectionState::Connected);

  // Cancel in the open-file dialog: no dialog, no run, and the next command
  // works as usual.
  clearCaughtMessageBoxes();
  clearRecordedDialogs();
  programWith("");
  EXPECT_TRUE(openFileDialogAnswered());
  EXPECT_EQ(dialogSeen("Programming Application"), nullptr);
  EXPECT_TRUE(caughtMessageBoxes().empty());
  EXPECT_EQ(programBusy, 0);
  programWith(applicationFile());
  ASSERT_EQ(caughtMessageBoxes().size(), 1u);
  EXPECT_EQ(caughtMessageBoxes()[0].text, SuccessText);
}

TEST(TargetRuns, AProgressDialogThatCannotBeCreatedDoesNotBlockTheNextCommand) {
  ASSERT_TRUE(connectAfreshOnCom1());
  const size_t logStart = simLog(1).size();
  // A module without the dialog templates.
  const HINSTANCE tool = appInstance;
  appInstance = GetModuleHandleA("kernel32.dll");
  programWith(applicationFile());
  onEraseCommand(mainWindow);
  appInstance = tool;
  EXPECT_TRUE(openFileDialogAnswered());
  EXPECT_EQ(programBusy, 0);
  EXPECT_EQ(eraseBusy, 0);
  EXPECT_EQ(simLog(1).size(), logStart);

  programWith(applicationFile());
  onEraseCommand(mainWindow);
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, SuccessText);
  EXPECT_EQ(boxes[1].text, "Target Flash has been successfully erased.");
}

TEST(TargetRuns, EraseSparesTheBootloaderAndEraseAllTakesItAfterTheWarning) {
  ASSERT_TRUE(connectAfreshOnCom1());
  // Something in both regions first.
  const std::vector<uint8_t> boot = patternBytes(256, 3);
  programTarget = flagsFor(ProgramTarget::Bootloader);
  programWith(writeHexFile("boot2.hex", 0x1000, boot));
  programTarget = flagsFor(ProgramTarget::Application);
  programWith(applicationFile());
  ASSERT_TRUE(waitForSimFlash(1, BootSize, applicationImage(), 5000));
  clearCaughtMessageBoxes();
  clearRecordedDialogs();

  onEraseCommand(mainWindow);
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  expectBox(boxes[0], "Target Flash has been successfully erased.", "Erase Operation Complete",
            MB_ICONINFORMATION, mainWindow);
  HWND dialog = dialogSeen("Erasing Target Flash");
  ASSERT_NE(dialog, nullptr);
  std::vector<BarStep> steps = barSteps();
  EXPECT_EQ(stepsOf(steps, "Progress"), 20);
  EXPECT_EQ(lastPosition(steps, "Progress"), 20);
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps[0].maximum, 20);
  EXPECT_EQ(steps[0].style & SmoothBarStyle, SmoothBarStyle);
  EXPECT_EQ(eraseBusy, 0);
  EXPECT_TRUE(waitForErasedSimFlash(1, BootSize, FlashSize, 5000));
  EXPECT_TRUE(waitForSimFlash(1, 0x1000, boot, 1000));

  // Erase all, answered Cancel: nothing sent, no dialog.
  eraseMode = flagsFor(EraseMode::EntireFlash);
  clearCaughtMessageBoxes();
  clearRecordedDialogs();
  const size_t logStart = simLog(1).size();
  answerMessageBoxesWith(IDCANCEL);
  onEraseCommand(mainWindow);
  answerMessageBoxesWith(IDOK);
  boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  const char* warning =
      "About to Erase ALL of the target flash (incl. Bootloader).\nPlease ensure that a new "
      "Bootloader is programmed before \nterminating communication with the target. Failure to "
      "do so \nwill prevent future communication with the target.";
  expectBox(boxes[0], warning, "Warning", MB_ICONWARNING, mainWindow);
  EXPECT_EQ(boxes[0].buttons, static_cast<unsigned>(MB_OKCANCEL));
  EXPECT_EQ(boxes[0].answer, IDCANCEL);
  EXPECT_EQ(dialogSeen("Erasing ALL of Target Flash"), nullptr);
  EXPECT_EQ(simLog(1).size(), logStart);
  EXPECT_EQ(eraseBusy, 0);

  // And OK.
  clearCaughtMessageBoxes();
  onEraseCommand(mainWindow);
  eraseMode = flagsFor(EraseMode::Default);
  boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, warning);
  expectBox(boxes[1],
            "Target Flash has been successfully erased including the bootloader.\nPlease ensure "
            "that a new bootloader is programmed before terminating\ncommunications with the "
            "target.",
            "Erase Operation Complete", MB_ICONWARNING, mainWindow);
  EXPECT_NE(dialogSeen("Erasing ALL of Target Flash"), nullptr);
  EXPECT_EQ(stepsOf(barSteps(), "Progress"), 20);
  EXPECT_TRUE(waitForErasedSimFlash(1, 0, FlashSize, 5000));
  EXPECT_EQ(connectionState, ConnectionState::Connected);
}

TEST(TargetRuns, AFailingThirdBlockDropsTheLinkWhichIsRebuiltOnTheNextCall) {
  // Frames from the handshake: 1 acknowledgement, 2 program, 3 to 5 the
  // block-follows of blocks 1 to 3. The reply to the fifth arrives garbled.
  ASSERT_TRUE(simCommand(1, "set garble-reply 5"));
  ASSERT_TRUE(connectAfreshOnCom1());
  programWith(applicationFile());
  ASSERT_TRUE(simCommand(1, "set garble-reply 0"));

  HWND dialog = dialogSeen("Programming Application");
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  expectBox(boxes[0], CommunicationErrorText, "Error", MB_ICONERROR, dialog);
  EXPECT_EQ(lastPosition(barSteps(), "Program Progress"), 33);
  EXPECT_EQ(programBusy, 0);
  expectLinkLostAndRebuilt();

  // The rebuilt link works.
  clearCaughtMessageBoxes();
  onEraseCommand(mainWindow);
  ASSERT_EQ(caughtMessageBoxes().size(), 1u);
  EXPECT_EQ(caughtMessageBoxes()[0].text, "Target Flash has been successfully erased.");
}

TEST(TargetRuns, EscAbandonsARunWaitingForASilentTargetOnlyOnYes) {
  // Silent from the first block-follows on: the worker waits for its answer.
  ASSERT_TRUE(simCommand(1, "set silent-from 3"));
  ASSERT_TRUE(connectAfreshOnCom1());
  pressEscapeInProgressDialog({IDNO, IDYES}, 700);
  DWORD started = GetTickCount();
  programWith(applicationFile());
  const DWORD took = GetTickCount() - started;
  answerMessageBoxesWith(IDOK);
  ASSERT_TRUE(simCommand(1, "set silent-from 0"));

  HWND dialog = dialogSeen("Programming Application");
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 3u);
  const char* question = "Abandon the operation?\nThe target will be disconnected.";
  EXPECT_EQ(boxes[0].text, question);
  EXPECT_EQ(boxes[0].icon, static_cast<unsigned>(MB_ICONQUESTION));
  EXPECT_EQ(boxes[0].buttons, static_cast<unsigned>(MB_YESNO));
  EXPECT_EQ(boxes[0].owner, dialog);
  EXPECT_EQ(boxes[0].answer, IDNO);
  EXPECT_EQ(boxes[1].text, question);
  EXPECT_EQ(boxes[1].answer, IDYES);
  expectBox(boxes[2], CommunicationErrorText, "Error", MB_ICONERROR, dialog);
  // Three presses 0.7 s apart: the run ends soon after the Yes, not before.
  EXPECT_GT(took, 1400u);
  EXPECT_LT(took, 4000u);
  EXPECT_EQ(programBusy, 0);
  expectLinkLostAndRebuilt();
}

TEST(TargetRuns, EscAbandonsAnEraseWaitingForTheNextBlock) {
  // One slow block. (The simulator takes its control lines only between
  // replies, so the pause is kept short enough to sit out afterwards.)
  ASSERT_TRUE(simCommand(1, "set erase-blocks 1"));
  ASSERT_TRUE(simCommand(1, "set erase-block-ms 2000"));
  ASSERT_TRUE(connectAfreshOnCom1());
  pressEscapeInProgressDialog({IDYES}, 300);
  DWORD started = GetTickCount();
  onEraseCommand(mainWindow);
  const DWORD took = GetTickCount() - started;
  answerMessageBoxesWith(IDOK);
  ASSERT_TRUE(simCommand(1, "set erase-block-ms 0"));
  ASSERT_TRUE(simCommand(1, "set erase-blocks 7"));
  EXPECT_LT(took, 1800u) << "the run should end on Yes, not on the target's reply";
  EXPECT_EQ(stepsOf(barSteps(), "Progress"), 0);

  HWND dialog = dialogSeen("Erasing Target Flash");
  std::vector<CaughtMessageBox> boxes = caughtMessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].owner, dialog);
  EXPECT_EQ(boxes[0].answer, IDYES);
  expectBox(boxes[1], CommunicationErrorText, "Error", MB_ICONERROR, dialog);
  EXPECT_EQ(eraseBusy, 0);
  expectLinkLostAndRebuilt();
}

}  // namespace
