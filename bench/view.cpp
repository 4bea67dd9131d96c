// One full repaint of the widget of "quenlo-scene view" at a zoom, as a
// figure for the rendering comparison:
//
//   bench_view SCRIPT ZOOM RUNS   median wall and CPU seconds of one repaint
//
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "app/QtPaintBox.h"
#include "app/SceneView.h"
#include "app/ZoomControl.h"
#include "scene/kinds/SimpleVelore.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_view SCRIPT ZOOM RUNS\n");
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    quenlo::RegisterSimpleVeloreKinds();
    quenlo::TSceneView window(argv[1], false, 0xFFFFFF, quenlo::ReadSceneFile(argv[1], false));
    window.show();
    window.Zoomer().SetPercent(std::atoi(argv[2]));
    QApplication::processEvents();

    std::vector<double> wall, cpu;
    for (int i = 0, runs = std::max(1, std::atoi(argv[3])); i < runs; ++i) {
        const auto w0 = std::chrono::steady_clock::now();
        const std::clock_t c0 = std::clock();
        window.PaintBox()->repaint();  // paints before it returns
        cpu.push_back(double(std::clock() - c0) / CLOCKS_PER_SEC);
        wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%.9f %.9f %d\n", wall[wall.size() / 2], cpu[cpu.size() / 2], window.Zoom());
    return 0;
}
