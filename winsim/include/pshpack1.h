#pragma pack(push, 1)
