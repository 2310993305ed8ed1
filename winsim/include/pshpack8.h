#pragma pack(push, 8)
