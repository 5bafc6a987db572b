#pragma once
// How the window is drawn, chosen before Qt starts. Without a GPU, OpenGL would be Mesa's llvmpipe: about 60 MB
// of LLVM and one rasteriser thread per CPU in a program that mostly sits in the tray. Qt Quick's software
// renderer draws this window on the GUI thread instead, and Qt loads no OpenGL at all. Where OpenGL still ends
// up on llvmpipe, it gets two threads. Settings the user made (QT_QUICK_BACKEND, QSG_RHI_BACKEND,
// QT_XCB_GL_INTEGRATION, LP_NUM_THREADS) win.
namespace veltrano::app {

class WindowRenderer {
 public:
  // Before the QApplication exists.
  WindowRenderer();
  // Once it exists: takes back what only Qt's start needed, so programs we start inherit the user's environment.
  void qtStarted();

 private:
  bool setGlIntegration_ = false;
};

}  // namespace veltrano::app
