<?xml version="1.0"?>
<!-- Turns a Korvane method trace into a page: one row per call in the order the calls ended,
     failures and warnings marked, and the same rows again grouped by thread. XSLT 1.0, so that
     a browser can apply it when the trace file is opened. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8" indent="yes"/>

  <xsl:key name="by-thread" match="Method" use="@Thread"/>

  <xsl:template match="/TraceRecords">
    <html>
      <head>
        <title>Korvane method trace</title>
        <style>
          body { font-family: sans-serif; font-size: 13px; margin: 1em; }
          table { border-collapse: collapse; margin-bottom: 2em; }
          th, td { border: 1px solid #bbb; padding: 2px 6px; vertical-align: top; text-align: left; }
          th { background: #e8e8e8; }
          td.num, td.dur { text-align: right; white-space: nowrap; }
          td.time { white-space: nowrap; }
          tr.failure td { background: #f8d0d0; }
          tr.warning td { background: #fbf0c0; }
          .out { color: #05608a; }
          .hr { font-family: monospace; }
          .array { color: #666; }
          nav a { margin-right: 1em; }
        </style>
      </head>
      <body>
        <h1>Method trace</h1>
        <p class="summary">
          Driver <xsl:value-of select="@Driver"/>,
          started <xsl:value-of select="@Started"/>:
          <span id="call-count"><xsl:value-of select="count(Method)"/></span> calls,
          <span id="failure-count"><xsl:value-of select="count(Method[HRESULT[starts-with(@Value, '0x8') or starts-with(@Value, '0x9') or starts-with(@Value, '0xA') or starts-with(@Value, '0xB') or starts-with(@Value, '0xC') or starts-with(@Value, '0xD') or starts-with(@Value, '0xE') or starts-with(@Value, '0xF')]])"/></span> failed.
        </p>
        <nav>
          Threads:
          <xsl:for-each select="Method[generate-id() = generate-id(key('by-thread', @Thread)[1])]">
            <a href="#thread-{@Thread}"><xsl:value-of select="@Thread"/>
              (<xsl:value-of select="count(key('by-thread', @Thread))"/>)</a>
          </xsl:for-each>
        </nav>
        <h2>All calls</h2>
        <table id="calls">
          <xsl:call-template name="header"/>
          <xsl:apply-templates select="Method"/>
        </table>
        <xsl:for-each select="Method[generate-id() = generate-id(key('by-thread', @Thread)[1])]">
          <h2 id="thread-{@Thread}">Thread <xsl:value-of select="@Thread"/></h2>
          <table class="thread" data-thread="{@Thread}">
            <xsl:call-template name="header"/>
            <xsl:apply-templates select="key('by-thread', @Thread)"/>
          </table>
        </xsl:for-each>
      </body>
    </html>
  </xsl:template>

  <xsl:template name="header">
    <tr>
      <th>#</th><th>Time</th><th>Thread</th><th>Call</th><th>Parameters</th><th>Result</th><th>Duration</th>
    </tr>
  </xsl:template>

  <xsl:template match="Method">
    <xsl:variable name="hr" select="HRESULT/@Value"/>
    <xsl:variable name="lead" select="substring($hr, 3, 1)"/>
    <tr>
      <xsl:attribute name="class">
        <xsl:choose>
          <xsl:when test="contains('89ABCDEF', $lead) and $lead != ''">call failure</xsl:when>
          <xsl:when test="$hr != '0x00000000'">call warning</xsl:when>
          <xsl:otherwise>call</xsl:otherwise>
        </xsl:choose>
      </xsl:attribute>
      <td class="num"><xsl:value-of select="count(preceding-sibling::Method) + 1"/></td>
      <td class="time"><xsl:value-of select="translate(@Timestamp, 'T', ' ')"/></td>
      <td class="num"><xsl:value-of select="@Thread"/></td>
      <td class="call"><xsl:value-of select="concat(@Interface, '.', @Name)"/></td>
      <td class="params"><xsl:apply-templates select="Parameter"/></td>
      <td class="result">
        <span class="hr"><xsl:value-of select="$hr"/></span>
        <xsl:if test="string(HRESULT/@Message) != ''">
          <xsl:text> </xsl:text><xsl:value-of select="HRESULT/@Message"/>
        </xsl:if>
      </td>
      <td class="dur"><xsl:call-template name="duration">
        <xsl:with-param name="text" select="Execution/@ExecutionTime"/>
      </xsl:call-template></td>
    </tr>
  </xsl:template>

  <xsl:template match="Parameter">
    <div>
      <xsl:if test="@Direction = 'out'"><xsl:attribute name="class">out</xsl:attribute>&#8594; </xsl:if>
      <xsl:value-of select="@Name"/> = <xsl:value-of select="@Value"/>
      <xsl:if test="@Count">
        <span class="array"> [<xsl:value-of select="@Count"/> elements<xsl:if test="@Shown != @Count">,
          <xsl:value-of select="@Shown"/> shown</xsl:if>]</span>
      </xsl:if>
    </div>
  </xsl:template>

  <!-- ExecutionTime is written in C's %e form (1.234000e-05 seconds); XPath 1.0 reads no
       exponents, so mantissa and exponent are taken apart and shown in microseconds. -->
  <xsl:template name="duration">
    <xsl:param name="text"/>
    <xsl:variable name="mantissa" select="number(substring-before($text, 'e'))"/>
    <xsl:variable name="exp-text" select="substring-after($text, 'e')"/>
    <xsl:variable name="exp" select="number(translate($exp-text, '+', ''))"/>
    <xsl:variable name="scale">
      <xsl:call-template name="pow10"><xsl:with-param name="n" select="$exp + 6"/></xsl:call-template>
    </xsl:variable>
    <xsl:choose>
      <xsl:when test="string($mantissa) = 'NaN' or string($exp) = 'NaN'"><xsl:value-of select="$text"/></xsl:when>
      <xsl:otherwise><xsl:value-of select="format-number($mantissa * $scale, '#,##0.0')"/> µs</xsl:otherwise>
    </xsl:choose>
  </xsl:template>

  <xsl:template name="pow10">
    <xsl:param name="n"/>
    <xsl:choose>
      <xsl:when test="$n &gt; 0">
        <xsl:variable name="rest"><xsl:call-template name="pow10"><xsl:with-param name="n" select="$n - 1"/></xsl:call-template></xsl:variable>
        <xsl:value-of select="10 * $rest"/>
      </xsl:when>
      <xsl:when test="$n &lt; 0">
        <xsl:variable name="rest"><xsl:call-template name="pow10"><xsl:with-param name="n" select="$n + 1"/></xsl:call-template></xsl:variable>
        <xsl:value-of select="$rest div 10"/>
      </xsl:when>
      <xsl:otherwise>1</xsl:otherwise>
    </xsl:choose>
  </xsl:template>
</xsl:stylesheet>
