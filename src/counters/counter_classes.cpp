#include "counters/counter_classes.h"

namespace tallymere {

namespace {
using K = KeyKind;
using L = FailureLabel;
}  // namespace

// Levels, type codes (full, Fast), failure headings (full, Fast) and labels.
// Some codes are shared by two classes; nothing but 32 and 33 is ever tested.
// One family to a group of rows reads better than one value a line.
// clang-format off
const CounterFamily kCounterFamilies[13] = {
    {{K::kLog, K::kEventId}, 2, 6, 19,
     "=l=o=g=_=e=v=e=n=t=_=i=d=_=c=o=u=n=t=\n", "=l=o=g=_=e=v=e=n=t=_=i=d=_=c=o=u=n=t=_=f=a=s=t=\n",
     L::kEventId, L::kEventId},
    {{K::kDay, K::kLog, K::kEventId}, 3, 7, 20,
     "=d=a=y=_=l=o=g=_=e=v=e=n=t=_=i=d=_=c=o=u=n=t=\n",
     "=d=a=y=_=l=o=g=_=e=v=e=n=t=_=i=d=_=c=o=u=n=t=_=f=a=s=t=\n", L::kEventId, L::kEventId},
    {{K::kHour, K::kLog, K::kEventId}, 3, 8, 21,
     "=h=o=u=r=_=l=o=g=_=e=v=e=n=t=_=i=d=_=c=o=u=n=t=\n",
     "=h=o=u=r=_=l=o=g=_=e=v=e=n=t=_=i=d=_=c=o=u=n=t=_=f=a=s=t=\n", L::kEventId, L::kEventId},
    {{K::kDay, K::kComputer}, 2, 9, 22,
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=c=o=u=n=t=\n",
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=c=o=u=n=t=_=f=a=s=t=\n", L::kComputer, L::kComputer},
    {{K::kHour, K::kComputer}, 2, 10, 23,
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=c=o=u=n=t=\n",
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=c=o=u=n=t=_=f=a=s=t=\n", L::kComputer, L::kComputer},
    {{K::kDay, K::kComputer, K::kLog}, 3, 11, 24,
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=l=o=g=_=c=o=u=n=t=\n",
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=l=o=g=_=c=o=u=n=t=_=f=a=s=t=\n", L::kLog, L::kLog},
    // The Fast variant of this grouping has no heading of its own.
    {{K::kHour, K::kComputer, K::kLog}, 3, 12, 25,
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=l=o=g=_=c=o=u=n=t=\n",
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=l=o=g=_=c=o=u=n=t=\n", L::kLog, L::kLog},
    {{K::kDay, K::kComputer, K::kLog, K::kEventId}, 4, 13, 26,
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=l=o=g=_=e=v=e=n=t=i=d=_=c=o=u=n=t=\n",
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=l=o=g=_=e=v=e=n=t=i=d=_=c=o=u=n=t=_=f=a=s=t=\n", L::kLog, L::kLog},
    {{K::kHour, K::kComputer, K::kLog, K::kEventId}, 4, 14, 27,
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=l=o=g=_=e=v=e=n=t=i=d=_=c=o=u=n=t=\n",
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=l=o=g=_=e=v=e=n=t=i=d=_=c=o=u=n=t=_=f=a=s=t=\n", L::kLog, L::kLog},
    {{K::kDay, K::kComputer, K::kCategory}, 3, 15, 28,
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=c=a=t=e=g=o=r=y=_=c=o=u=n=t=\n",
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=c=a=t=e=g=o=r=y=_=c=o=u=n=t=_=f=a=s=t=\n", L::kCategory, L::kNone},
    {{K::kHour, K::kComputer, K::kCategory}, 3, 15, 29,
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=c=a=t=e=g=o=r=y=_=c=o=u=n=t=\n",
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=c=a=t=e=g=o=r=y=_=c=o=u=n=t=_=f=a=s=t=\n", L::kCategory, L::kNone},
    {{K::kDay, K::kComputer, K::kCategory, K::kEventType}, 4, 17, 30,
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=c=a=t=e=g=o=r=y=_=e=v=e=n=t=t=y=p=e=_=c=o=u=n=t=\n",
     "=d=a=y=_=c=o=m=p=u=t=e=r=_=c=a=t=e=g=o=r=y=_=e=v=e=n=t=t=y=p=e=_=c=o=u=n=t=_=f=a=s=t=\n",
     L::kCategory, L::kNone},
    {{K::kHour, K::kComputer, K::kCategory, K::kEventType}, 4, 17, 30,
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=c=a=t=e=g=o=r=y=_=e=v=e=n=t=t=y=p=e=_=c=o=u=n=t=\n",
     "=h=o=u=r=_=c=o=m=p=u=t=e=r=_=c=a=t=e=g=o=r=y=_=e=v=e=n=t=t=y=p=e=_=c=o=u=n=t=_=f=a=s=t=\n",
     L::kCategory, L::kNone},
};
// clang-format on

}  // namespace tallymere
