from google.protobuf import descriptor as _descriptor
from google.protobuf import message as _message
from collections.abc import Mapping as _Mapping
from typing import ClassVar as _ClassVar, Optional as _Optional, Union as _Union

DESCRIPTOR: _descriptor.FileDescriptor

class TopLevelMessage(_message.Message):
    __slots__ = ("RawData", "ChannelGroup", "ChannelType", "BrandInfo", "MentionTrackingDetails", "ServiceName")
    class RawdataMessage(_message.Message):
        __slots__ = ("ObjectId", "SocialID", "OrderID", "CreatedDate", "NumCommentsCount", "NumShareCount", "NumVideoViews", "Description", "LanguageName", "FilterKeywords", "UserInfo", "URL", "AnswerCounts", "SimplifiedText")
        class UserinfoMessage(_message.Message):
            __slots__ = ("AuthorSocialID",)
            AUTHORSOCIALID_FIELD_NUMBER: _ClassVar[int]
            AuthorSocialID: str
            def __init__(self, AuthorSocialID: _Optional[str] = ...) -> None: ...
        OBJECTID_FIELD_NUMBER: _ClassVar[int]
        SOCIALID_FIELD_NUMBER: _ClassVar[int]
        ORDERID_FIELD_NUMBER: _ClassVar[int]
        CREATEDDATE_FIELD_NUMBER: _ClassVar[int]
        NUMCOMMENTSCOUNT_FIELD_NUMBER: _ClassVar[int]
        NUMSHARECOUNT_FIELD_NUMBER: _ClassVar[int]
        NUMVIDEOVIEWS_FIELD_NUMBER: _ClassVar[int]
        DESCRIPTION_FIELD_NUMBER: _ClassVar[int]
        LANGUAGENAME_FIELD_NUMBER: _ClassVar[int]
        FILTERKEYWORDS_FIELD_NUMBER: _ClassVar[int]
        USERINFO_FIELD_NUMBER: _ClassVar[int]
        URL_FIELD_NUMBER: _ClassVar[int]
        ANSWERCOUNTS_FIELD_NUMBER: _ClassVar[int]
        SIMPLIFIEDTEXT_FIELD_NUMBER: _ClassVar[int]
        ObjectId: int
        SocialID: str
        OrderID: int
        CreatedDate: str
        NumCommentsCount: int
        NumShareCount: int
        NumVideoViews: int
        Description: str
        LanguageName: str
        FilterKeywords: str
        UserInfo: TopLevelMessage.RawdataMessage.UserinfoMessage
        URL: str
        AnswerCounts: int
        SimplifiedText: str
        def __init__(self, ObjectId: _Optional[int] = ..., SocialID: _Optional[str] = ..., OrderID: _Optional[int] = ..., CreatedDate: _Optional[str] = ..., NumCommentsCount: _Optional[int] = ..., NumShareCount: _Optional[int] = ..., NumVideoViews: _Optional[int] = ..., Description: _Optional[str] = ..., LanguageName: _Optional[str] = ..., FilterKeywords: _Optional[str] = ..., UserInfo: _Optional[_Union[TopLevelMessage.RawdataMessage.UserinfoMessage, _Mapping]] = ..., URL: _Optional[str] = ..., AnswerCounts: _Optional[int] = ..., SimplifiedText: _Optional[str] = ...) -> None: ...
    class BrandinfoMessage(_message.Message):
        __slots__ = ("BrandID", "BrandName", "CategoryID", "CategoryName", "BrandSettings", "OperationEnum")
        class BrandsettingsMessage(_message.Message):
            __slots__ = ()
            def __init__(self) -> None: ...
        BRANDID_FIELD_NUMBER: _ClassVar[int]
        BRANDNAME_FIELD_NUMBER: _ClassVar[int]
        CATEGORYID_FIELD_NUMBER: _ClassVar[int]
        CATEGORYNAME_FIELD_NUMBER: _ClassVar[int]
        BRANDSETTINGS_FIELD_NUMBER: _ClassVar[int]
        OPERATIONENUM_FIELD_NUMBER: _ClassVar[int]
        BrandID: int
        BrandName: str
        CategoryID: int
        CategoryName: str
        BrandSettings: TopLevelMessage.BrandinfoMessage.BrandsettingsMessage
        OperationEnum: str
        def __init__(self, BrandID: _Optional[int] = ..., BrandName: _Optional[str] = ..., CategoryID: _Optional[int] = ..., CategoryName: _Optional[str] = ..., BrandSettings: _Optional[_Union[TopLevelMessage.BrandinfoMessage.BrandsettingsMessage, _Mapping]] = ..., OperationEnum: _Optional[str] = ...) -> None: ...
    class MentiontrackingdetailsMessage(_message.Message):
        __slots__ = ("FetchingServiceInTime", "FetchingServiceOutTime")
        FETCHINGSERVICEINTIME_FIELD_NUMBER: _ClassVar[int]
        FETCHINGSERVICEOUTTIME_FIELD_NUMBER: _ClassVar[int]
        FetchingServiceInTime: str
        FetchingServiceOutTime: str
        def __init__(self, FetchingServiceInTime: _Optional[str] = ..., FetchingServiceOutTime: _Optional[str] = ...) -> None: ...
    RAWDATA_FIELD_NUMBER: _ClassVar[int]
    CHANNELGROUP_FIELD_NUMBER: _ClassVar[int]
    CHANNELTYPE_FIELD_NUMBER: _ClassVar[int]
    BRANDINFO_FIELD_NUMBER: _ClassVar[int]
    MENTIONTRACKINGDETAILS_FIELD_NUMBER: _ClassVar[int]
    SERVICENAME_FIELD_NUMBER: _ClassVar[int]
    RawData: TopLevelMessage.RawdataMessage
    ChannelGroup: int
    ChannelType: int
    BrandInfo: TopLevelMessage.BrandinfoMessage
    MentionTrackingDetails: TopLevelMessage.MentiontrackingdetailsMessage
    ServiceName: str
    def __init__(self, RawData: _Optional[_Union[TopLevelMessage.RawdataMessage, _Mapping]] = ..., ChannelGroup: _Optional[int] = ..., ChannelType: _Optional[int] = ..., BrandInfo: _Optional[_Union[TopLevelMessage.BrandinfoMessage, _Mapping]] = ..., MentionTrackingDetails: _Optional[_Union[TopLevelMessage.MentiontrackingdetailsMessage, _Mapping]] = ..., ServiceName: _Optional[str] = ...) -> None: ...
