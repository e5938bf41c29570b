#include <oru/xml/xml_document.h>

#include <string>

int main()
{
    CXmlDocument doc;
    doc.New(L"", L"UTF-8");
    doc.InsertChildElement(L"Game");
    doc.InsertChildElement(L"Player");
    doc.SetAttrValueString(L"name", L"\uC544\uB8E8");  // Korean text is fine
    doc.SetAttrValueInt(L"level", 12);
    doc.Save(L"game.xml");

    CXmlDocument loaded;
    loaded.Load(L"game.xml");
    int level = 0;
    std::wstring name;
    if (!loaded.FindElementGlobal(L"Game/Player") || !loaded.GetAttrValueInt(L"level", level) ||
        !loaded.GetAttrValueString(L"name", name))
        return 1;
    return level == 12 && name == L"\uC544\uB8E8" ? 0 : 1;
}
