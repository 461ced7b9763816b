// The class and interface identifiers of Score_Class, for the engine and
// for the programs that create it.
#include "score_class.h"

namespace tallycore {

// {6B7E2F3A-1C4D-4E8B-9A2F-5D3C7B1E9F04}
const com::Guid CLSID_Score_Class = {0x6B7E2F3A, 0x1C4D, 0x4E8B,
                                     {0x9A, 0x2F, 0x5D, 0x3C, 0x7B, 0x1E, 0x9F, 0x04}};
// {6B7E2F3B-1C4D-4E8B-9A2F-5D3C7B1E9F04}
const com::Guid IID__Score_Class = {0x6B7E2F3B, 0x1C4D, 0x4E8B,
                                    {0x9A, 0x2F, 0x5D, 0x3C, 0x7B, 0x1E, 0x9F, 0x04}};
// {6B7E2F3C-1C4D-4E8B-9A2F-5D3C7B1E9F04}
const com::Guid IID_IScoreReport = {0x6B7E2F3C, 0x1C4D, 0x4E8B,
                                    {0x9A, 0x2F, 0x5D, 0x3C, 0x7B, 0x1E, 0x9F, 0x04}};
// {6B7E2F3D-1C4D-4E8B-9A2F-5D3C7B1E9F04}
const com::Guid IID_IDatagramIdentity = {0x6B7E2F3D, 0x1C4D, 0x4E8B,
                                         {0x9A, 0x2F, 0x5D, 0x3C, 0x7B, 0x1E, 0x9F, 0x04}};

}  // namespace tallycore
