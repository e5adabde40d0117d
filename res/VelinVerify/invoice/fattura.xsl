<?xml version="1.0" encoding="UTF-8"?>
<!--
  The electronic invoice as a page a person reads: who sells and who buys, the document's data,
  the lines, the VAT summary, the payment and the attachments, one body after another.
  The reader removes every namespace below and at the root before the transform, so the paths
  here are plain names. Nothing here loads, writes or links anything: no document(), no
  attribute built from the invoice's text, no script.
-->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8" indent="no"/>

  <xsl:template match="/">
    <html>
      <head>
        <meta http-equiv="Content-Type" content="text/html; charset=UTF-8"/>
        <title>Fattura elettronica</title>
        <style type="text/css">
          body { font-family: sans-serif; font-size: 10pt; }
          h1 { font-size: 15pt; margin-bottom: 2px; }
          h2 { font-size: 12pt; margin-top: 14px; margin-bottom: 4px; color: #1f4e79; }
          h3 { font-size: 10pt; margin-top: 8px; margin-bottom: 2px; }
          table { border-collapse: collapse; }
          th { background-color: #eeeeee; text-align: left; }
          td.importo, th.importo { text-align: right; }
          .nota { color: #555555; }
          .totale { font-weight: bold; }
        </style>
      </head>
      <body>
        <xsl:apply-templates select="FatturaElettronica | FatturaElettronicaSemplificata"/>
      </body>
    </html>
  </xsl:template>

  <xsl:template match="FatturaElettronica">
    <xsl:variable name="header" select="FatturaElettronicaHeader"/>
    <h1>Fattura elettronica</h1>
    <p class="nota">
      <xsl:call-template name="transmission-format">
        <xsl:with-param name="code" select="normalize-space(@versione)"/>
      </xsl:call-template>
      <xsl:for-each select="$header/DatiTrasmissione">
        <xsl:if test="ProgressivoInvio"> · Progressivo invio <xsl:value-of select="ProgressivoInvio"/></xsl:if>
        <xsl:if test="CodiceDestinatario"> · Codice destinatario <xsl:value-of select="CodiceDestinatario"/></xsl:if>
        <xsl:if test="PECDestinatario"> · PEC destinatario <xsl:value-of select="PECDestinatario"/></xsl:if>
      </xsl:for-each>
    </p>
    <table width="100%" cellpadding="4">
      <tr>
        <td valign="top" width="50%">
          <h2>Cedente / prestatore</h2>
          <xsl:apply-templates select="$header/CedentePrestatore" mode="party"/>
        </td>
        <td valign="top" width="50%">
          <h2>Cessionario / committente</h2>
          <xsl:apply-templates select="$header/CessionarioCommittente" mode="party"/>
        </td>
      </tr>
    </table>
    <xsl:if test="$header/RappresentanteFiscale">
      <h2>Rappresentante fiscale</h2>
      <xsl:apply-templates select="$header/RappresentanteFiscale" mode="party"/>
    </xsl:if>
    <xsl:if test="$header/TerzoIntermediarioOSoggettoEmittente">
      <h2>Terzo intermediario o soggetto emittente</h2>
      <xsl:apply-templates select="$header/TerzoIntermediarioOSoggettoEmittente" mode="party"/>
    </xsl:if>
    <xsl:variable name="count" select="count(FatturaElettronicaBody)"/>
    <xsl:for-each select="FatturaElettronicaBody">
      <xsl:if test="$count &gt; 1">
        <hr/>
        <p class="nota">Documento <xsl:value-of select="position()"/> di <xsl:value-of select="$count"/></p>
      </xsl:if>
      <xsl:apply-templates select="."/>
    </xsl:for-each>
  </xsl:template>

  <!-- The simplified invoice: fewer data, the lines as amounts with their VAT. -->
  <xsl:template match="FatturaElettronicaSemplificata">
    <xsl:variable name="header" select="FatturaElettronicaHeader"/>
    <h1>Fattura elettronica semplificata</h1>
    <p class="nota">
      <xsl:for-each select="$header/DatiTrasmissione">
        <xsl:text>Formato </xsl:text><xsl:value-of select="FormatoTrasmissione"/>
        <xsl:if test="ProgressivoInvio"> · Progressivo invio <xsl:value-of select="ProgressivoInvio"/></xsl:if>
        <xsl:if test="CodiceDestinatario"> · Codice destinatario <xsl:value-of select="CodiceDestinatario"/></xsl:if>
        <xsl:if test="PECDestinatario"> · PEC destinatario <xsl:value-of select="PECDestinatario"/></xsl:if>
      </xsl:for-each>
    </p>
    <table width="100%" cellpadding="4">
      <tr>
        <td valign="top" width="50%">
          <h2>Cedente / prestatore</h2>
          <xsl:apply-templates select="$header/CedentePrestatore" mode="simplified-party"/>
        </td>
        <td valign="top" width="50%">
          <h2>Cessionario / committente</h2>
          <xsl:apply-templates select="$header/CessionarioCommittente" mode="simplified-party"/>
        </td>
      </tr>
    </table>
    <xsl:variable name="count" select="count(FatturaElettronicaBody)"/>
    <xsl:for-each select="FatturaElettronicaBody">
      <xsl:if test="$count &gt; 1">
        <hr/>
        <p class="nota">Documento <xsl:value-of select="position()"/> di <xsl:value-of select="$count"/></p>
      </xsl:if>
      <xsl:variable name="document" select="DatiGenerali/DatiGeneraliDocumento"/>
      <h2>
        <xsl:call-template name="document-kind"><xsl:with-param name="code" select="normalize-space($document/TipoDocumento)"/></xsl:call-template>
        <xsl:text> n. </xsl:text><xsl:value-of select="$document/Numero"/>
        <xsl:text> del </xsl:text><xsl:call-template name="date"><xsl:with-param name="value" select="$document/Data"/></xsl:call-template>
      </h2>
      <table cellpadding="3">
        <tr><td>Tipo documento:</td><td><xsl:value-of select="$document/TipoDocumento"/> - <xsl:call-template name="document-kind"><xsl:with-param name="code" select="normalize-space($document/TipoDocumento)"/></xsl:call-template></td></tr>
        <tr><td>Divisa:</td><td><xsl:value-of select="$document/Divisa"/></td></tr>
        <xsl:for-each select="DatiGenerali/DatiFatturaRettificata">
          <tr><td>Rettifica della fattura:</td><td><xsl:value-of select="NumeroFR"/> del <xsl:call-template name="date"><xsl:with-param name="value" select="DataFR"/></xsl:call-template>: <xsl:value-of select="ElementiRettificati"/></td></tr>
        </xsl:for-each>
      </table>
      <h3>Dettaglio</h3>
      <table border="1" cellspacing="0" cellpadding="3" width="100%">
        <tr><th>Descrizione</th><th class="importo">Importo</th><th class="importo">Imposta</th><th class="importo">IVA %</th><th>Natura</th></tr>
        <xsl:for-each select="DatiBeniServizi">
          <tr>
            <td><xsl:value-of select="Descrizione"/></td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="Importo"/></xsl:call-template></td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="DatiIVA/Imposta"/></xsl:call-template></td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="DatiIVA/Aliquota"/></xsl:call-template></td>
            <td><xsl:if test="Natura"><xsl:value-of select="Natura"/> - <xsl:call-template name="nature"><xsl:with-param name="code" select="normalize-space(Natura)"/></xsl:call-template></xsl:if></td>
          </tr>
        </xsl:for-each>
      </table>
      <xsl:call-template name="attachments"/>
    </xsl:for-each>
  </xsl:template>

  <!-- A party of the simplified invoice: the seller's data sit directly under it, the buyer's
       under IdentificativiFiscali and AltriDatiIdentificativi. -->
  <xsl:template match="*" mode="simplified-party">
    <xsl:variable name="ids" select=". | IdentificativiFiscali"/>
    <xsl:variable name="names" select=". | AltriDatiIdentificativi"/>
    <p>
      <b>
        <xsl:choose>
          <xsl:when test="$names/Denominazione"><xsl:value-of select="$names/Denominazione"/></xsl:when>
          <xsl:otherwise><xsl:value-of select="$names/Nome"/><xsl:text> </xsl:text><xsl:value-of select="$names/Cognome"/></xsl:otherwise>
        </xsl:choose>
      </b>
      <xsl:for-each select="$ids/IdFiscaleIVA">
        <br/>Partita IVA: <xsl:value-of select="IdPaese"/><xsl:value-of select="IdCodice"/>
      </xsl:for-each>
      <xsl:for-each select="$ids/CodiceFiscale">
        <br/>Codice fiscale: <xsl:value-of select="."/>
      </xsl:for-each>
      <xsl:for-each select="RegimeFiscale">
        <br/>Regime fiscale: <xsl:call-template name="tax-regime"><xsl:with-param name="code" select="normalize-space(.)"/></xsl:call-template>
      </xsl:for-each>
      <xsl:for-each select="$names/Sede">
        <xsl:call-template name="address"/>
      </xsl:for-each>
    </p>
  </xsl:template>

  <!-- A party: name, fiscal identifiers, address, contacts. -->
  <xsl:template match="*" mode="party">
    <xsl:variable name="data" select="DatiAnagrafici"/>
    <p>
      <b>
        <xsl:for-each select="$data/Anagrafica">
          <xsl:choose>
            <xsl:when test="Denominazione"><xsl:value-of select="Denominazione"/></xsl:when>
            <xsl:otherwise>
              <xsl:if test="Titolo"><xsl:value-of select="Titolo"/><xsl:text> </xsl:text></xsl:if>
              <xsl:value-of select="Nome"/><xsl:text> </xsl:text><xsl:value-of select="Cognome"/>
            </xsl:otherwise>
          </xsl:choose>
        </xsl:for-each>
      </b>
      <xsl:for-each select="$data/IdFiscaleIVA">
        <br/>Partita IVA: <xsl:value-of select="IdPaese"/><xsl:value-of select="IdCodice"/>
      </xsl:for-each>
      <xsl:for-each select="$data/CodiceFiscale">
        <br/>Codice fiscale: <xsl:value-of select="."/>
      </xsl:for-each>
      <xsl:for-each select="$data/RegimeFiscale">
        <br/>Regime fiscale: <xsl:call-template name="tax-regime"><xsl:with-param name="code" select="normalize-space(.)"/></xsl:call-template>
      </xsl:for-each>
      <xsl:for-each select="Sede">
        <xsl:call-template name="address"/>
      </xsl:for-each>
      <xsl:for-each select="IscrizioneREA">
        <br/>REA: <xsl:value-of select="Ufficio"/>-<xsl:value-of select="NumeroREA"/>
      </xsl:for-each>
      <xsl:for-each select="Contatti">
        <xsl:if test="Telefono"><br/>Telefono: <xsl:value-of select="Telefono"/></xsl:if>
        <xsl:if test="Email"><br/>E-mail: <xsl:value-of select="Email"/></xsl:if>
      </xsl:for-each>
    </p>
  </xsl:template>

  <xsl:template match="FatturaElettronicaBody">
    <xsl:variable name="document" select="DatiGenerali/DatiGeneraliDocumento"/>
    <xsl:variable name="currency" select="$document/Divisa"/>
    <h2>
      <xsl:call-template name="document-kind"><xsl:with-param name="code" select="normalize-space($document/TipoDocumento)"/></xsl:call-template>
      <xsl:text> n. </xsl:text><xsl:value-of select="$document/Numero"/>
      <xsl:text> del </xsl:text><xsl:call-template name="date"><xsl:with-param name="value" select="$document/Data"/></xsl:call-template>
    </h2>
    <table cellpadding="3">
      <tr><td>Tipo documento:</td><td><xsl:value-of select="$document/TipoDocumento"/> - <xsl:call-template name="document-kind"><xsl:with-param name="code" select="normalize-space($document/TipoDocumento)"/></xsl:call-template></td></tr>
      <tr><td>Numero:</td><td><xsl:value-of select="$document/Numero"/></td></tr>
      <tr><td>Data:</td><td><xsl:call-template name="date"><xsl:with-param name="value" select="$document/Data"/></xsl:call-template></td></tr>
      <tr><td>Divisa:</td><td><xsl:value-of select="$currency"/></td></tr>
      <xsl:if test="$document/ImportoTotaleDocumento">
        <tr class="totale"><td>Totale documento:</td><td><xsl:call-template name="amount"><xsl:with-param name="value" select="$document/ImportoTotaleDocumento"/></xsl:call-template><xsl:text> </xsl:text><xsl:value-of select="$currency"/></td></tr>
      </xsl:if>
      <xsl:if test="$document/Arrotondamento">
        <tr><td>Arrotondamento:</td><td><xsl:call-template name="amount"><xsl:with-param name="value" select="$document/Arrotondamento"/></xsl:call-template></td></tr>
      </xsl:if>
      <xsl:for-each select="$document/DatiRitenuta">
        <tr><td>Ritenuta:</td><td><xsl:value-of select="TipoRitenuta"/><xsl:text> </xsl:text><xsl:call-template name="amount"><xsl:with-param name="value" select="ImportoRitenuta"/></xsl:call-template> (<xsl:call-template name="amount"><xsl:with-param name="value" select="AliquotaRitenuta"/></xsl:call-template>%)</td></tr>
      </xsl:for-each>
      <xsl:for-each select="$document/DatiBollo">
        <tr><td>Bollo virtuale:</td><td><xsl:call-template name="amount"><xsl:with-param name="value" select="ImportoBollo"/></xsl:call-template></td></tr>
      </xsl:for-each>
      <xsl:for-each select="$document/Causale">
        <tr><td valign="top">Causale:</td><td><xsl:value-of select="."/></td></tr>
      </xsl:for-each>
      <xsl:for-each select="DatiGenerali/DatiOrdineAcquisto | DatiGenerali/DatiContratto | DatiGenerali/DatiConvenzione">
        <tr>
          <td>Riferimento <xsl:choose><xsl:when test="self::DatiOrdineAcquisto">ordine</xsl:when><xsl:when test="self::DatiContratto">contratto</xsl:when><xsl:otherwise>convenzione</xsl:otherwise></xsl:choose>:</td>
          <td><xsl:value-of select="IdDocumento"/><xsl:if test="Data"> del <xsl:call-template name="date"><xsl:with-param name="value" select="Data"/></xsl:call-template></xsl:if><xsl:if test="CodiceCIG"> · CIG <xsl:value-of select="CodiceCIG"/></xsl:if><xsl:if test="CodiceCUP"> · CUP <xsl:value-of select="CodiceCUP"/></xsl:if></td>
        </tr>
      </xsl:for-each>
      <xsl:for-each select="DatiGenerali/DatiDDT">
        <tr><td>Documento di trasporto:</td><td><xsl:value-of select="NumeroDDT"/> del <xsl:call-template name="date"><xsl:with-param name="value" select="DataDDT"/></xsl:call-template></td></tr>
      </xsl:for-each>
    </table>

    <xsl:if test="DatiBeniServizi/DettaglioLinee">
      <h3>Dettaglio</h3>
      <table border="1" cellspacing="0" cellpadding="3" width="100%">
        <tr><th>N.</th><th>Descrizione</th><th class="importo">Quantità</th><th>U.M.</th><th class="importo">Prezzo unitario</th><th class="importo">Prezzo totale</th><th class="importo">IVA %</th></tr>
        <xsl:for-each select="DatiBeniServizi/DettaglioLinee">
          <tr>
            <td><xsl:value-of select="NumeroLinea"/></td>
            <td><xsl:value-of select="Descrizione"/>
              <xsl:for-each select="ScontoMaggiorazione">
                <br/><span class="nota"><xsl:choose><xsl:when test="normalize-space(Tipo) = 'SC'">Sconto</xsl:when><xsl:otherwise>Maggiorazione</xsl:otherwise></xsl:choose>
                <xsl:if test="Percentuale"><xsl:text> </xsl:text><xsl:call-template name="amount"><xsl:with-param name="value" select="Percentuale"/></xsl:call-template>%</xsl:if>
                <xsl:if test="Importo"><xsl:text> </xsl:text><xsl:call-template name="amount"><xsl:with-param name="value" select="Importo"/></xsl:call-template></xsl:if></span>
              </xsl:for-each>
            </td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="Quantita"/></xsl:call-template></td>
            <td><xsl:value-of select="UnitaMisura"/></td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="PrezzoUnitario"/></xsl:call-template></td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="PrezzoTotale"/></xsl:call-template></td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="AliquotaIVA"/></xsl:call-template><xsl:if test="Natura"><br/><xsl:value-of select="Natura"/></xsl:if></td>
          </tr>
        </xsl:for-each>
      </table>
    </xsl:if>

    <xsl:if test="DatiBeniServizi/DatiRiepilogo">
      <h3>Riepilogo IVA</h3>
      <table border="1" cellspacing="0" cellpadding="3" width="100%">
        <tr><th class="importo">Aliquota IVA %</th><th>Natura</th><th class="importo">Imponibile</th><th class="importo">Imposta</th><th>Esigibilità</th><th>Riferimento normativo</th></tr>
        <xsl:for-each select="DatiBeniServizi/DatiRiepilogo">
          <tr>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="AliquotaIVA"/></xsl:call-template></td>
            <td><xsl:if test="Natura"><xsl:value-of select="Natura"/> - <xsl:call-template name="nature"><xsl:with-param name="code" select="normalize-space(Natura)"/></xsl:call-template></xsl:if></td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="ImponibileImporto"/></xsl:call-template></td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="Imposta"/></xsl:call-template></td>
            <td><xsl:choose>
              <xsl:when test="normalize-space(EsigibilitaIVA) = 'I'">immediata</xsl:when>
              <xsl:when test="normalize-space(EsigibilitaIVA) = 'D'">differita</xsl:when>
              <xsl:when test="normalize-space(EsigibilitaIVA) = 'S'">scissione dei pagamenti</xsl:when>
              <xsl:otherwise><xsl:value-of select="EsigibilitaIVA"/></xsl:otherwise>
            </xsl:choose></td>
            <td><xsl:value-of select="RiferimentoNormativo"/></td>
          </tr>
        </xsl:for-each>
      </table>
    </xsl:if>

    <xsl:for-each select="DatiPagamento">
      <h3>Pagamento: <xsl:call-template name="payment-terms"><xsl:with-param name="code" select="normalize-space(CondizioniPagamento)"/></xsl:call-template></h3>
      <table border="1" cellspacing="0" cellpadding="3" width="100%">
        <tr><th>Modalità</th><th>Beneficiario</th><th>Scadenza</th><th class="importo">Importo</th><th>Istituto</th><th>IBAN</th></tr>
        <xsl:for-each select="DettaglioPagamento">
          <tr>
            <td><xsl:call-template name="payment-method"><xsl:with-param name="code" select="normalize-space(ModalitaPagamento)"/></xsl:call-template></td>
            <td><xsl:value-of select="Beneficiario"/></td>
            <td><xsl:call-template name="date"><xsl:with-param name="value" select="DataScadenzaPagamento"/></xsl:call-template></td>
            <td class="importo"><xsl:call-template name="amount"><xsl:with-param name="value" select="ImportoPagamento"/></xsl:call-template></td>
            <td><xsl:value-of select="IstitutoFinanziario"/></td>
            <td><xsl:value-of select="IBAN"/></td>
          </tr>
        </xsl:for-each>
      </table>
    </xsl:for-each>

    <xsl:call-template name="attachments"/>
  </xsl:template>

  <!-- The current node is a Sede. -->
  <xsl:template name="address">
    <br/><xsl:value-of select="Indirizzo"/>
    <xsl:if test="NumeroCivico">, <xsl:value-of select="NumeroCivico"/></xsl:if>
    <br/><xsl:value-of select="CAP"/><xsl:text> </xsl:text><xsl:value-of select="Comune"/>
    <xsl:if test="Provincia"> (<xsl:value-of select="Provincia"/>)</xsl:if>
    <xsl:if test="Nazione"> - <xsl:value-of select="Nazione"/></xsl:if>
  </xsl:template>

  <!-- The attachments of the current body, listed; the window saves them. -->
  <xsl:template name="attachments">
    <xsl:if test="Allegati">
      <h3>Allegati</h3>
      <table border="1" cellspacing="0" cellpadding="3" width="100%">
        <tr><th>Nome</th><th>Formato</th><th>Descrizione</th><th>Compressione</th></tr>
        <xsl:for-each select="Allegati">
          <tr>
            <td><xsl:value-of select="NomeAttachment"/></td>
            <td><xsl:value-of select="FormatoAttachment"/></td>
            <td><xsl:value-of select="DescrizioneAttachment"/></td>
            <td><xsl:value-of select="AlgoritmoCompressione"/></td>
          </tr>
        </xsl:for-each>
      </table>
    </xsl:if>
  </xsl:template>

  <!-- YYYY-MM-DD as DD/MM/YYYY; anything else as written. -->
  <xsl:template name="date">
    <xsl:param name="value"/>
    <xsl:variable name="text" select="normalize-space($value)"/>
    <xsl:choose>
      <xsl:when test="string-length($text) = 10 and substring($text, 5, 1) = '-' and substring($text, 8, 1) = '-'">
        <xsl:value-of select="concat(substring($text, 9, 2), '/', substring($text, 6, 2), '/', substring($text, 1, 4))"/>
      </xsl:when>
      <xsl:otherwise><xsl:value-of select="$text"/></xsl:otherwise>
    </xsl:choose>
  </xsl:template>

  <!-- Amounts are written with a decimal point: shown with a comma. -->
  <xsl:template name="amount">
    <xsl:param name="value"/>
    <xsl:value-of select="translate(normalize-space($value), '.', ',')"/>
  </xsl:template>

  <xsl:template name="transmission-format">
    <xsl:param name="code"/>
    <xsl:choose>
      <xsl:when test="$code = 'FPA12'">Fattura verso la Pubblica Amministrazione (FPA12)</xsl:when>
      <xsl:when test="$code = 'FPR12'">Fattura tra privati (FPR12)</xsl:when>
      <xsl:otherwise>Formato <xsl:value-of select="$code"/></xsl:otherwise>
    </xsl:choose>
  </xsl:template>

  <xsl:template name="document-kind">
    <xsl:param name="code"/>
    <xsl:choose>
      <xsl:when test="$code = 'TD01'">Fattura</xsl:when>
      <xsl:when test="$code = 'TD02'">Acconto/anticipo su fattura</xsl:when>
      <xsl:when test="$code = 'TD03'">Acconto/anticipo su parcella</xsl:when>
      <xsl:when test="$code = 'TD04'">Nota di credito</xsl:when>
      <xsl:when test="$code = 'TD05'">Nota di debito</xsl:when>
      <xsl:when test="$code = 'TD06'">Parcella</xsl:when>
      <xsl:when test="$code = 'TD07'">Fattura semplificata</xsl:when>
      <xsl:when test="$code = 'TD08'">Nota di credito semplificata</xsl:when>
      <xsl:when test="$code = 'TD09'">Nota di debito semplificata</xsl:when>
      <xsl:when test="$code = 'TD16'">Integrazione fattura reverse charge interno</xsl:when>
      <xsl:when test="$code = 'TD17'">Integrazione/autofattura per acquisto servizi dall'estero</xsl:when>
      <xsl:when test="$code = 'TD18'">Integrazione per acquisto di beni intracomunitari</xsl:when>
      <xsl:when test="$code = 'TD19'">Integrazione/autofattura per acquisto di beni ex art. 17 c. 2 DPR 633/72</xsl:when>
      <xsl:when test="$code = 'TD20'">Autofattura per regolarizzazione e integrazione delle fatture</xsl:when>
      <xsl:when test="$code = 'TD21'">Autofattura per splafonamento</xsl:when>
      <xsl:when test="$code = 'TD22'">Estrazione beni da Deposito IVA</xsl:when>
      <xsl:when test="$code = 'TD23'">Estrazione beni da Deposito IVA con versamento dell'IVA</xsl:when>
      <xsl:when test="$code = 'TD24'">Fattura differita (art. 21, comma 4, lett. a)</xsl:when>
      <xsl:when test="$code = 'TD25'">Fattura differita (art. 21, comma 4, terzo periodo, lett. b)</xsl:when>
      <xsl:when test="$code = 'TD26'">Cessione di beni ammortizzabili e per passaggi interni</xsl:when>
      <xsl:when test="$code = 'TD27'">Fattura per autoconsumo o per cessioni gratuite senza rivalsa</xsl:when>
      <xsl:when test="$code = 'TD28'">Acquisti da San Marino con IVA</xsl:when>
      <xsl:when test="$code = 'TD29'">Comunicazione per omessa o irregolare fatturazione</xsl:when>
      <xsl:otherwise>Documento <xsl:value-of select="$code"/></xsl:otherwise>
    </xsl:choose>
  </xsl:template>

  <xsl:template name="payment-terms">
    <xsl:param name="code"/>
    <xsl:choose>
      <xsl:when test="$code = 'TP01'">a rate</xsl:when>
      <xsl:when test="$code = 'TP02'">completo</xsl:when>
      <xsl:when test="$code = 'TP03'">anticipo</xsl:when>
      <xsl:otherwise><xsl:value-of select="$code"/></xsl:otherwise>
    </xsl:choose>
  </xsl:template>

  <xsl:template name="payment-method">
    <xsl:param name="code"/>
    <xsl:choose>
      <xsl:when test="$code = 'MP01'">Contanti</xsl:when>
      <xsl:when test="$code = 'MP02'">Assegno</xsl:when>
      <xsl:when test="$code = 'MP03'">Assegno circolare</xsl:when>
      <xsl:when test="$code = 'MP04'">Contanti presso Tesoreria</xsl:when>
      <xsl:when test="$code = 'MP05'">Bonifico</xsl:when>
      <xsl:when test="$code = 'MP06'">Vaglia cambiario</xsl:when>
      <xsl:when test="$code = 'MP07'">Bollettino bancario</xsl:when>
      <xsl:when test="$code = 'MP08'">Carta di pagamento</xsl:when>
      <xsl:when test="$code = 'MP09'">RID</xsl:when>
      <xsl:when test="$code = 'MP10'">RID utenze</xsl:when>
      <xsl:when test="$code = 'MP11'">RID veloce</xsl:when>
      <xsl:when test="$code = 'MP12'">RIBA</xsl:when>
      <xsl:when test="$code = 'MP13'">MAV</xsl:when>
      <xsl:when test="$code = 'MP14'">Quietanza erario</xsl:when>
      <xsl:when test="$code = 'MP15'">Giroconto su conti di contabilità speciale</xsl:when>
      <xsl:when test="$code = 'MP16'">Domiciliazione bancaria</xsl:when>
      <xsl:when test="$code = 'MP17'">Domiciliazione postale</xsl:when>
      <xsl:when test="$code = 'MP18'">Bollettino di c/c postale</xsl:when>
      <xsl:when test="$code = 'MP19'">SEPA Direct Debit</xsl:when>
      <xsl:when test="$code = 'MP20'">SEPA Direct Debit CORE</xsl:when>
      <xsl:when test="$code = 'MP21'">SEPA Direct Debit B2B</xsl:when>
      <xsl:when test="$code = 'MP22'">Trattenuta su somme già riscosse</xsl:when>
      <xsl:when test="$code = 'MP23'">PagoPA</xsl:when>
      <xsl:otherwise><xsl:value-of select="$code"/></xsl:otherwise>
    </xsl:choose>
  </xsl:template>

  <xsl:template name="nature">
    <xsl:param name="code"/>
    <xsl:choose>
      <xsl:when test="starts-with($code, 'N1')">escluse ex art. 15</xsl:when>
      <xsl:when test="starts-with($code, 'N2')">non soggette</xsl:when>
      <xsl:when test="starts-with($code, 'N3')">non imponibili</xsl:when>
      <xsl:when test="starts-with($code, 'N4')">esenti</xsl:when>
      <xsl:when test="starts-with($code, 'N5')">regime del margine / IVA non esposta in fattura</xsl:when>
      <xsl:when test="starts-with($code, 'N6')">inversione contabile</xsl:when>
      <xsl:when test="starts-with($code, 'N7')">IVA assolta in altro stato UE</xsl:when>
    </xsl:choose>
  </xsl:template>

  <xsl:template name="tax-regime">
    <xsl:param name="code"/>
    <xsl:choose>
      <xsl:when test="$code = 'RF01'">Ordinario</xsl:when>
      <xsl:when test="$code = 'RF02'">Contribuenti minimi</xsl:when>
      <xsl:when test="$code = 'RF04'">Agricoltura e attività connesse e pesca</xsl:when>
      <xsl:when test="$code = 'RF05'">Vendita sali e tabacchi</xsl:when>
      <xsl:when test="$code = 'RF06'">Commercio fiammiferi</xsl:when>
      <xsl:when test="$code = 'RF07'">Editoria</xsl:when>
      <xsl:when test="$code = 'RF08'">Gestione servizi telefonia pubblica</xsl:when>
      <xsl:when test="$code = 'RF09'">Rivendita documenti di trasporto pubblico e di sosta</xsl:when>
      <xsl:when test="$code = 'RF10'">Intrattenimenti, giochi e altre attività</xsl:when>
      <xsl:when test="$code = 'RF11'">Agenzie viaggi e turismo</xsl:when>
      <xsl:when test="$code = 'RF12'">Agriturismo</xsl:when>
      <xsl:when test="$code = 'RF13'">Vendite a domicilio</xsl:when>
      <xsl:when test="$code = 'RF14'">Rivendita beni usati, oggetti d'arte, d'antiquariato o da collezione</xsl:when>
      <xsl:when test="$code = 'RF15'">Agenzie di vendite all'asta di oggetti d'arte, antiquariato o da collezione</xsl:when>
      <xsl:when test="$code = 'RF16'">IVA per cassa P.A.</xsl:when>
      <xsl:when test="$code = 'RF17'">IVA per cassa</xsl:when>
      <xsl:when test="$code = 'RF18'">Altro</xsl:when>
      <xsl:when test="$code = 'RF19'">Regime forfettario</xsl:when>
      <xsl:otherwise><xsl:value-of select="$code"/></xsl:otherwise>
    </xsl:choose>
  </xsl:template>
</xsl:stylesheet>
