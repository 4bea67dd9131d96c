// Reads an image, writes it as a .png, reads that back and renders a scene:
// prints "W H SAME R,G,B" so the test can check every step.
#include <cstdio>
#include <cstring>
#include <quenlo/quenlo.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    try {
        const quenlo::Image in = quenlo::ReadImage(argv[1]);
        quenlo::WriteOptions png;
        png.format = quenlo::Format::Png;
        quenlo::WriteImage(in, argv[2], png);
        const quenlo::Image back = quenlo::ReadImage(argv[2]);
        const bool same = back.Size() == in.Size() && std::memcmp(back.Data(), in.Data(), in.Size()) == 0;
        const quenlo::Image scene = quenlo::RenderSceneText("VlxImg size(3,2);col(10,20,30);wipe\n");
        std::printf("%d %d %s %d,%d,%d\n", in.Width(), in.Height(), same ? "same" : "differ", scene.Data()[0],
                    scene.Data()[1], scene.Data()[2]);
        quenlo::ReadImage(std::string(argv[1]) + ".missing.bmp");
    } catch (const quenlo::Error& e) {
        std::printf("%s\n", e.Reason().c_str());
        return 0;
    }
    return 1;
}
