// The signer window's document list: no duplicates whatever the case, the selection after a
// removal, the buttons of an empty and a full list, and the PDF and XAdES formats only for PDF
// and XML documents.
#include "norax_sign/app/sign_document_list.h"

#include <gtest/gtest.h>

namespace velin {
namespace {

TEST(Sign_document_list, paths_are_listed_once_and_the_selection_follows_removals)
{
    Sign_document_list list;
    EXPECT_FALSE(list.buttons().sign);
    EXPECT_FALSE(list.buttons().sign_is_default);
    EXPECT_TRUE(list.add("/dati/a.doc"));
    EXPECT_FALSE(list.add("/DATI/A.DOC"));
    EXPECT_TRUE(list.add("/dati/b.doc"));
    EXPECT_TRUE(list.add("/dati/c.doc"));
    EXPECT_EQ(list.paths().size(), 3u);
    EXPECT_EQ(list.selected(), 2u);
    EXPECT_TRUE(list.buttons().sign && list.buttons().read && list.buttons().remove && list.buttons().sign_is_default);

    list.select(1);
    list.remove_selected();
    EXPECT_EQ(list.paths(), (std::vector<std::string>{"/dati/a.doc", "/dati/c.doc"}));
    EXPECT_EQ(list.selected_path(), "/dati/c.doc");
    list.remove_selected(); // the last one: the one before it is selected
    EXPECT_EQ(list.selected_path(), "/dati/a.doc");
    list.remove_selected();
    EXPECT_TRUE(list.paths().empty());
    EXPECT_FALSE(list.selected());
    EXPECT_FALSE(list.buttons().remove);
    list.remove_selected(); // nothing selected: nothing happens
    list.select(5);
    EXPECT_FALSE(list.selected());
}

TEST(Sign_document_list, pdf_format_only_while_every_document_is_a_pdf)
{
    Sign_document_list list;
    EXPECT_TRUE(list.buttons().pdf);
    list.add("/dati/a.PDF");
    list.choose_format(Signature_format::Pdf);
    EXPECT_EQ(list.format(), Signature_format::Pdf);
    list.add("/dati/b.doc");
    EXPECT_FALSE(list.buttons().pdf);
    EXPECT_EQ(list.format(), Signature_format::Pkcs7);
    list.choose_format(Signature_format::Pdf);
    EXPECT_EQ(list.format(), Signature_format::Pkcs7);
    list.remove_selected();
    EXPECT_TRUE(list.buttons().pdf);
    list.choose_format(Signature_format::Pdf);
    EXPECT_EQ(list.format(), Signature_format::Pdf);
}

TEST(Sign_document_list, xades_format_only_while_every_document_is_xml)
{
    Sign_document_list list;
    list.add("/fatture/IT01234567890_00042.XML");
    EXPECT_TRUE(list.buttons().xades);
    EXPECT_FALSE(list.buttons().pdf);
    list.choose_format(Signature_format::Pdf); // not a PDF: stays PKCS#7
    EXPECT_EQ(list.format(), Signature_format::Pkcs7);
    list.choose_format(Signature_format::Xades);
    EXPECT_EQ(list.format(), Signature_format::Xades);
    list.add("/fatture/IT01234567890_00043.xml");
    EXPECT_EQ(list.format(), Signature_format::Xades);
    list.add("/fatture/IT01234567890_00044.xml.p7m");
    EXPECT_FALSE(list.buttons().xades);
    EXPECT_EQ(list.format(), Signature_format::Pkcs7);
    list.choose_format(Signature_format::Xades);
    EXPECT_EQ(list.format(), Signature_format::Pkcs7);
    list.remove_selected();
    EXPECT_TRUE(list.buttons().xades);
    list.choose_format(Signature_format::Xades);
    EXPECT_EQ(list.format(), Signature_format::Xades);
}

} // namespace
} // namespace velin
