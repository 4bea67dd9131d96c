#include "scene/kinds/SimpleVelore.h"

namespace quenlo {

void RegisterSimpleVeloreKinds() {
    // The registry has no duplicate check, and tests may call this often.
    static bool done = false;
    if (done) return;
    done = true;
    TVelora::RegisterKind(ClassOf<TVlxMat>());
    TVelora::RegisterKind(ClassOf<TVlxImg>());
    TVelora::RegisterKind(ClassOf<TVlxCel>());
    TVelora::RegisterKind(ClassOf<TVlxStencil>());
    TVelora::RegisterKind(ClassOf<TVlxPoly>());
    TVelora::RegisterKind(ClassOf<TVlx2>());
    TVelora::RegisterKind(ClassOf<TVlxAnk>());
    TVelora::RegisterKind(ClassOf<TVlxAnk88>());
    TVelora::RegisterKind(ClassOf<TVlxSlider>());
}

}  // namespace quenlo
